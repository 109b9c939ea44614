// fmt's compiled part, built once here. Debian ships fmt as a shared library
// only, and the wrapper links statically; used header-only instead, fmt
// would compile these definitions into every source that formats, which
// costs a third of such a source's compile time. Without FMT_HEADER_ONLY the
// headers declare them, and format-inl.h defines them (not inline) here.
#include <fmt/format-inl.h>
#include <fmt/format.h>

FMT_BEGIN_NAMESPACE
namespace detail {

// The templates that format.h declares but leaves to the library.
template FMT_API auto dragonbox::to_decimal(float x) noexcept -> dragonbox::decimal_fp<float>;
template FMT_API auto dragonbox::to_decimal(double x) noexcept -> dragonbox::decimal_fp<double>;
template FMT_API auto thousands_sep_impl(locale_ref) -> thousands_sep_result<char>;
template FMT_API auto thousands_sep_impl(locale_ref) -> thousands_sep_result<wchar_t>;
template FMT_API auto decimal_point_impl(locale_ref) -> char;
template FMT_API auto decimal_point_impl(locale_ref) -> wchar_t;

}  // namespace detail
FMT_END_NAMESPACE
