// Replays inputs through a fuzz target's entry point without libFuzzer, so
// that the normal build's test suite runs every kept finding:
//   kqreplay_<target> FILE...
// Each file is handed to LLVMFuzzerTestOneInput once, after the target's
// LLVMFuzzerInitialize. A crash, a sanitizer report or a trap of the target's
// own checks ends the process abnormally; so does any single allocation
// larger than the short fuzz runs allow (KQ_FUZZ_MALLOC_MB, default 512),
// which is how those runs turn a few bytes claiming a huge picture into a
// finding. The exit code is 0 when every file was replayed.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);
extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) __attribute__((weak));

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KQ_REPLAY_SANITIZED 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define KQ_REPLAY_SANITIZED 1
#endif

namespace {

size_t mallocLimit = 0;  // 0 until main sets it: start-up allocations pass

void Refuse(size_t size)
{
    std::fprintf(stderr, "kqreplay: a single allocation of %zu bytes is over the limit of %zu MiB\n", size,
                 mallocLimit >> 20);
    std::abort();
}

}  // namespace

#ifdef KQ_REPLAY_SANITIZED

// The sanitizer's allocator calls this after every allocation.
extern "C" int __sanitizer_install_malloc_and_free_hooks(void (*malloc_hook)(const volatile void*, size_t),
                                                         void (*free_hook)(const volatile void*));

namespace {

void MallocHook(const volatile void*, size_t size)
{
    if (mallocLimit && size > mallocLimit)
        Refuse(size);
}

void FreeHook(const volatile void*) {}

// Both hooks must be given, or none is installed.
void InstallLimit()
{
    if (!__sanitizer_install_malloc_and_free_hooks(MallocHook, FreeHook)) {
        std::fprintf(stderr, "kqreplay: the allocation limit could not be installed\n");
        std::abort();
    }
}

}  // namespace

#else

// The C library's own allocator behind these; new and delete come here too.
extern "C" void* __libc_malloc(size_t size);
extern "C" void* __libc_calloc(size_t count, size_t size);
extern "C" void* __libc_realloc(void* block, size_t size);

extern "C" void* malloc(size_t size) noexcept
{
    if (mallocLimit && size > mallocLimit)
        Refuse(size);
    return __libc_malloc(size);
}

extern "C" void* calloc(size_t count, size_t size) noexcept
{
    if (mallocLimit && size && count > mallocLimit / size)
        Refuse(count * size);
    return __libc_calloc(count, size);
}

extern "C" void* realloc(void* block, size_t size) noexcept
{
    if (mallocLimit && size > mallocLimit)
        Refuse(size);
    return __libc_realloc(block, size);
}

namespace {

void InstallLimit() {}

}  // namespace

#endif

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s FILE...\n", argv[0]);
        return 2;
    }
    const char* limit = std::getenv("KQ_FUZZ_MALLOC_MB");
    const long megabytes = limit && *limit ? std::atol(limit) : 512;
    if (LLVMFuzzerInitialize)
        LLVMFuzzerInitialize(&argc, &argv);
    InstallLimit();
    mallocLimit = static_cast<size_t>(megabytes > 0 ? megabytes : 512) << 20;
    for (int i = 1; i < argc; ++i) {
        std::ifstream in(argv[i], std::ios::binary);
        if (!in) {
            std::fprintf(stderr, "kqreplay: cannot read %s\n", argv[i]);
            return 1;
        }
        const std::vector<uint8_t> data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        std::printf("replaying %s (%zu bytes)\n", argv[i], data.size());
        std::fflush(stdout);
        LLVMFuzzerTestOneInput(data.data(), data.size());
    }
    std::printf("replayed %d file(s)\n", argc - 1);
    return 0;
}
