#pragma once
// hidsim bench: a line display and a stripe reader (each a `hidsim ld` /
// `hidsim msr` child) with an HTTP page and JSON API to watch and drive them.
#include <string>
#include <vector>

namespace hidsim {

// args: the arguments after "bench"; self: this program's path.
int RunBench(const std::vector<std::string>& args, const std::string& self);

// The page, with its script and style (generated from BenchPage.html).
extern const char* const kBenchPage;

}  // namespace hidsim
