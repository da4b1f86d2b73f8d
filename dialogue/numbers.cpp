// Whole numbers typed by the user; see numbers.h.
#include "dialogue/numbers.h"

#include <climits>
#include <cstdlib>

int saturate_int(long long value)
{
    return value < INT_MIN ? INT_MIN : (value > INT_MAX ? INT_MAX : static_cast<int>(value));
}

int typed_int(const char* text)
{
    // strtoll saturates at the long long range, which holds every int.
    return saturate_int(std::strtoll(text, nullptr, 10));
}
