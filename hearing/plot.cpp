// The SVG chart of a measurement; see plot.h. Two panels one above the
// other, each with labelled axes (units included), a grid and a legend.
#include "hearing/plot.h"

#include "hearing/report.h"

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>

namespace {

constexpr double kWidth = 900.0;
constexpr double kPanelHeight = 380.0;
constexpr double kLeft = 80.0;      // room for the y labels
constexpr double kRight = 200.0;    // room for the legend
constexpr double kTop = 50.0;       // room for the title
constexpr double kBottom = 60.0;    // room for the x labels
const char* const kPalette[] = {"#1f77b4", "#ff7f0e", "#2ca02c", "#d62728", "#9467bd", "#8c564b",
                                "#e377c2", "#7f7f7f", "#bcbd22", "#17becf"};
constexpr int kPaletteSize = sizeof kPalette / sizeof kPalette[0];

std::string escaped(const std::string& text)
{
    std::string out;
    for (char c : text) {
        if (c == '&')
            out += "&amp;";
        else if (c == '<')
            out += "&lt;";
        else if (c == '>')
            out += "&gt;";
        else if (c == '"')
            out += "&quot;";
        else
            out += c;
    }
    return out;
}

// A step of 1, 2 or 5 times a power of ten that cuts span into about parts.
double nice_step(double span, int parts)
{
    double raw = span / parts;
    double power = std::pow(10.0, std::floor(std::log10(raw)));
    for (double m : {1.0, 2.0, 5.0, 10.0}) {
        if (m * power >= raw)
            return m * power;
    }
    return 10.0 * power;
}

// One panel: data ranges mapped onto its rectangle.
struct Panel {
    double x0, x1, y0, y1;  // data ranges
    double top;             // the panel's top in the document
    double px(double x) const { return kLeft + (x - x0) / (x1 - x0) * (kWidth - kLeft - kRight); }
    double py(double y) const { return top + kTop + (y1 - y) / (y1 - y0) * (kPanelHeight - kTop - kBottom); }
};

// Frame, grid, tick labels, axis titles and the panel's title.
std::string axes(const Panel& p, const std::vector<double>& x_ticks, double y_step, const std::string& title,
                 const std::string& x_title, const std::string& y_title)
{
    std::string s;
    const double plot_bottom = p.py(p.y0), plot_top = p.py(p.y1);
    s += text_format("<text x=\"%.1f\" y=\"%.1f\" font-size=\"16\" font-weight=\"bold\">%s</text>\n", kLeft, p.top + 28.0,
                escaped(title).c_str());
    for (double x : x_ticks) {
        s += text_format("<line x1=\"%.1f\" y1=\"%.1f\" x2=\"%.1f\" y2=\"%.1f\" stroke=\"#ddd\"/>\n", p.px(x), plot_top,
                    p.px(x), plot_bottom);
        s += text_format("<text x=\"%.1f\" y=\"%.1f\" font-size=\"12\" text-anchor=\"middle\">%g</text>\n", p.px(x),
                    plot_bottom + 16.0, x);
    }
    for (double y = std::ceil(p.y0 / y_step) * y_step; y <= p.y1 + 1e-9; y += y_step) {
        double shown = std::fabs(y) < 1e-9 ? 0.0 : y;
        s += text_format("<line x1=\"%.1f\" y1=\"%.1f\" x2=\"%.1f\" y2=\"%.1f\" stroke=\"%s\"/>\n", p.px(p.x0), p.py(y),
                    p.px(p.x1), p.py(y), shown == 0.0 ? "#999" : "#ddd");
        s += text_format("<text x=\"%.1f\" y=\"%.1f\" font-size=\"12\" text-anchor=\"end\">%g</text>\n", kLeft - 6.0,
                    p.py(y) + 4.0, shown);
    }
    s += text_format("<rect x=\"%.1f\" y=\"%.1f\" width=\"%.1f\" height=\"%.1f\" fill=\"none\" stroke=\"#333\"/>\n",
                p.px(p.x0), plot_top, p.px(p.x1) - p.px(p.x0), plot_bottom - plot_top);
    s += text_format("<text x=\"%.1f\" y=\"%.1f\" font-size=\"13\" text-anchor=\"middle\">%s</text>\n",
                0.5 * (p.px(p.x0) + p.px(p.x1)), plot_bottom + 38.0, escaped(x_title).c_str());
    double middle = 0.5 * (plot_top + plot_bottom);
    s += text_format("<text x=\"%.1f\" y=\"%.1f\" font-size=\"13\" text-anchor=\"middle\" "
                "transform=\"rotate(-90 %.1f %.1f)\">%s</text>\n",
                24.0, middle, 24.0, middle, escaped(y_title).c_str());
    return s;
}

std::string legend_entry(const Panel& p, int row, const std::string& colour, bool dashed, const std::string& label)
{
    const double x = kWidth - kRight + 20.0;
    const double y = p.top + kTop + 8.0 + 15.0 * row;
    return text_format("<line x1=\"%.1f\" y1=\"%.1f\" x2=\"%.1f\" y2=\"%.1f\" stroke=\"%s\" stroke-width=\"2\"%s/>\n"
                  "<text x=\"%.1f\" y=\"%.1f\" font-size=\"12\">%s</text>\n",
                  x, y, x + 24.0, y, colour.c_str(), dashed ? " stroke-dasharray=\"6 4\"" : "", x + 30.0, y + 4.0,
                  escaped(label).c_str());
}

std::string keys_panel(const MeasureResults& r)
{
    double lowest = 0.0, highest = 0.0;
    int first_key = 127, last_key = 0;
    for (const KeyOffset& k : r.keys) {
        first_key = std::min(first_key, k.key);
        last_key = std::max(last_key, k.key);
        if (!std::isnan(k.cents)) {
            lowest = std::min(lowest, k.cents);
            highest = std::max(highest, k.cents);
        }
    }
    if (first_key > last_key)
        first_key = 36, last_key = 96;
    double reach = std::max({5.0, -lowest, highest});
    double step = nice_step(2.0 * reach, 8);
    reach = std::ceil(reach / step) * step;
    Panel p{first_key - 2.0, last_key + 2.0, -reach, reach, 0.0};
    std::vector<double> ticks;
    for (int key = (first_key + 11) / 12 * 12; key <= last_key; key += 12)
        ticks.push_back(key);
    std::string s = axes(p, ticks, step, "Unbent tuning of " + r.device + " (channel 0)",
                         "MIDI key (60 = middle C)", "offset (cents against equal temperament, A = 440 Hz)");
    // The runs as steps: each spans its keys, and half-way to its neighbours.
    std::vector<KeyRun> runs = key_runs(r.keys);
    for (const KeyRun& run : runs) {
        s += text_format("<line x1=\"%.1f\" y1=\"%.1f\" x2=\"%.1f\" y2=\"%.1f\" stroke=\"%s\" stroke-width=\"3\" "
                    "stroke-opacity=\"0.5\"/>\n",
                    p.px(run.first_key - 1.5), p.py(run.cents), p.px(run.last_key + 1.5), p.py(run.cents), kPalette[0]);
    }
    for (const KeyOffset& k : r.keys) {
        if (!std::isnan(k.cents))
            s += text_format("<circle cx=\"%.1f\" cy=\"%.1f\" r=\"3.5\" fill=\"%s\"/>\n", p.px(k.key), p.py(k.cents),
                        kPalette[3]);
    }
    s += legend_entry(p, 0, kPalette[3], false, "measured key");
    s += legend_entry(p, 1, kPalette[0], false, "run sharing an offset");
    return s;
}

std::string bends_panel(const MeasureResults& r)
{
    double reach = ASKED_BEND_RANGE;
    for (const ChannelBend& c : r.channels) {
        for (double shift : c.shift_semitones) {
            if (!std::isnan(shift))
                reach = std::max(reach, std::fabs(shift));
        }
    }
    double step = nice_step(2.0 * reach, 8);
    reach = std::ceil(reach / step) * step;
    Panel p{0.0, 16383.0, -reach, reach, kPanelHeight};
    std::string s = axes(p, {0.0, 4096.0, 8192.0, 12288.0, 16383.0}, step,
                         "Pitch-bend curves of " + r.device + " (key " + std::to_string(r.reference_key) + ")",
                         "pitch-bend value (14 bit, 8192 = no bend)", "shift (semitones)");
    s += text_format("<line x1=\"%.1f\" y1=\"%.1f\" x2=\"%.1f\" y2=\"%.1f\" stroke=\"#000\" stroke-width=\"2\" "
                "stroke-dasharray=\"6 4\"/>\n",
                p.px(0.0), p.py(-ASKED_BEND_RANGE), p.px(16383.0), p.py(ASKED_BEND_RANGE * 8191.0 / 8192.0));
    s += legend_entry(p, 0, "#000", true, "ideal: +-2 semitones");
    int row = 1;
    for (size_t i = 0; i < r.channels.size(); ++i) {
        const ChannelBend& c = r.channels[i];
        const char* colour = kPalette[i % kPaletteSize];
        std::string points;
        for (int b = 0; b < BEND_POINTS; ++b) {
            if (!std::isnan(c.shift_semitones[b]))
                points += text_format("%.1f,%.1f ", p.px(8192.0 + BEND_OFFSETS[b]), p.py(c.shift_semitones[b]));
        }
        s += text_format("<polyline points=\"%s\" fill=\"none\" stroke=\"%s\" stroke-width=\"1.5\"/>\n", points.c_str(),
                    colour);
        for (int b = 0; b < BEND_POINTS; ++b) {
            if (!std::isnan(c.shift_semitones[b]))
                s += text_format("<circle cx=\"%.1f\" cy=\"%.1f\" r=\"2.5\" fill=\"%s\"/>\n",
                            p.px(8192.0 + BEND_OFFSETS[b]), p.py(c.shift_semitones[b]), colour);
        }
        // Past 20 rows the legend names the rest together.
        if (row < 20) {
            s += legend_entry(p, row++, colour, false,
                              text_format("ch %d: +%.3f/-%.3f", c.channel, c.bend_up_semitones, c.bend_down_semitones));
        } else if (row == 20) {
            s += legend_entry(p, row++, "#999", false, "further channels");
        }
    }
    return s;
}

}  // namespace

std::string plot_svg(const MeasureResults& r)
{
    std::string s = text_format("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                           "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%.0f\" height=\"%.0f\" "
                           "viewBox=\"0 0 %.0f %.0f\" font-family=\"sans-serif\">\n"
                           "<rect width=\"100%%\" height=\"100%%\" fill=\"#fff\"/>\n",
                           kWidth, 2.0 * kPanelHeight, kWidth, 2.0 * kPanelHeight);
    s += keys_panel(r);
    s += bends_panel(r);
    return s + "</svg>\n";
}
