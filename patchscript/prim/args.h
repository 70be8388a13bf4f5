// The command line. One file per platform, each with the program's entry point, which
// calls patchscript_main with the arguments as narrow text: the form the script is
// written in, and the form open_input takes.
#pragma once

// The program proper (main.cpp).
int patchscript_main(int argc, char** argv);

// False when the text of argument i does not stand exactly for what the user typed; a
// path like that would open, and put into the script, the name of some other file.
bool arg_is_exact(int i);
