// The hosts' entry point, one per platform: ToolMain receives the command line as UTF-8 on
// Windows (from the wide command line, so that a path outside the ANSI code page survives) and
// as the system gave it elsewhere. The program defines ToolMain; the platform's main or wmain
// calls it.
#pragma once

int ToolMain(int argc, char** argv);
