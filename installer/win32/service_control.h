// The service "webprint" through the service control manager, for both
// packages: the setup program creates and removes it through these, the MSI
// package only stops it before it checks whether its file is free (its own
// tables create, start and remove it).
#pragma once

#include <string>

bool WebprintServiceInstalled();

// Stops the service if it runs and waits until it has stopped. False when it
// is still running.
bool StopWebprintService();

// The service runs the program as LocalSystem: whoever can write to its
// folder (replace the program, or put a library beside it that the program
// loads) runs code as the computer, and a folder outside Program Files lets
// every user write by default. Empty text for a folder below Program Files,
// else why it is refused, followed by how (what to do instead).
std::string ServiceFolderProblem(const std::string& folder, const std::string& how);

// Creates the service for the program, or sets an existing one to it, and
// starts it: automatic start, LocalSystem, the path quoted and "/service".
// Returns an empty text once it runs, else what went wrong.
std::string InstallAndStartWebprintService(const std::string& programPath);

// Stops and deletes the service; nothing is left for a restart. Empty text
// when it is gone (or never was), else what went wrong.
std::string RemoveWebprintService();
