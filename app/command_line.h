// The program's command lines: each is one switch, alone.
#pragma once

// True when the command line is exactly the switch (any case, blanks around it).
bool CommandLineIs(const char* commandLine, const char* switchText);
