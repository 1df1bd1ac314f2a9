#include "core/huge_pages.hpp"

#include <cstdint>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace vorl {

void advise_huge_pages(void* data, std::size_t bytes) noexcept {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    constexpr std::size_t WORTH_IT = std::size_t{4} << 20;
    constexpr std::uintptr_t PAGE = 4096;
    if (data == nullptr || bytes < WORTH_IT) return;
    const auto begin = reinterpret_cast<std::uintptr_t>(data);
    const std::uintptr_t first_page = (begin + PAGE - 1) & ~(PAGE - 1);
    const std::uintptr_t end_page = (begin + bytes) & ~(PAGE - 1);
    madvise(reinterpret_cast<void*>(first_page), end_page - first_page, MADV_HUGEPAGE);
#else
    (void)data;
    (void)bytes;
#endif
}

}  // namespace vorl
