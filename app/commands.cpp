// The commands accepted at every test prompt; see commands.h.
#include "app/commands.h"

#include "app/console.h"

int handle_command(char* line)
{
    trim_line(line);
    return 0;
}
