// The typical host run: log on, read the capabilities, query a folder, store a report output with
// its document and context, read it back, store a model, delete a temporary object, log off. Used
// by `dvl demo` against a live, recorded or replayed service, and by the tests.
#pragma once

#include <cstdio>
#include <string>

class VorbTK;

struct HostRunOptions {
  std::string outputName = "Quarterly sales";  // the name the output is stored under
  std::string workDirectory;                   // where the documents are written; empty: the system's
};

// Runs every step through sessions of factory and prints each step to out. The library must be
// initialised. Errors pass to the caller.
void runTypicalHostRun(VorbTK& factory, std::FILE* out, const HostRunOptions& options = HostRunOptions());
