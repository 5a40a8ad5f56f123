// What the parts of the command-line host share: the way a run fails.
#pragma once

#include <string>

// Prints "aacdec: " and the message, removes a partly written output and
// exits with status 1.
[[noreturn]] void fail(const char* fmt, const char* arg = "");

// The output file while it is being written under its temporary name ("" when
// none is): a failing run removes it, and so does a signal that ends the run
// (SIGINT, SIGTERM, SIGHUP, SIGQUIT).
const char* partial_output();
void set_partial_output(const std::string& path);
