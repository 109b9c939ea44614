#pragma once
#include <expected>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

// Where the linker looks for a library named by "-l" after the directories
// of "-L": the C compiler driver's own library directories, then those built
// into the linker it runs. Asking costs three processes, so the answer is
// kept in the cache, named by the linker's identity and the variables that
// change it.
namespace kelv::artifact_cache {

// The directories, in search order, of the linker driver `linker` ("cc"
// when rustc chooses); an error text when they cannot be learnt.
std::expected<std::vector<std::filesystem::path>, std::string> linker_search_dirs(
    const std::filesystem::path& cache_dir, std::string_view linker);

// The directories of `-print-search-dirs` output ("libraries: =a:b") and of
// `ld --verbose` output (SEARCH_DIR("=/usr/lib")), in that order.
std::vector<std::filesystem::path> parse_search_dirs(std::string_view print_search_dirs,
                                                     std::string_view ld_verbose);

}  // namespace kelv::artifact_cache
