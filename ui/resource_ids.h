// Resource identifiers, shared by the resource script and the code.
#pragma once

// The printer icon: the program's icon, the window's and the tray's.
#define IDI_PRINTER 1
