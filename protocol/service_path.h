// Finds, once per process, under which of three paths the print service
// answers, and composes every request path from it.
#pragma once

struct PrintClient;

// The prefix found, or the candidate being tried; empty until one answered.
extern char ServicePrefix[48];

// The path for the function (no leading slash), or an empty text when no
// candidate answered. Valid until the next call.
const char* RequestPath(PrintClient* client, const char* functionName);
