# Writes OUT, a C++ file whose kBenchPage holds the text of IN.
file(READ ${IN} page)
file(WRITE ${OUT} "// Generated from BenchPage.html by EmbedPage.cmake.\n#include \"tools/hidsim/Bench.h\"\nnamespace hidsim {\nconst char* const kBenchPage = R\"zolpage(${page})zolpage\";\n}  // namespace hidsim\n")
