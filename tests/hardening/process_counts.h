// What this process holds, read from /proc: the measures of a leak.
#pragma once

// Open descriptors (sockets, files, pipes).
int OpenDescriptors();
// Threads of the process.
int Threads();
// Resident memory in kilobytes.
long ResidentKilobytes();
