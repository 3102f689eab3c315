// Shared helpers of the Lintomel tests: a scratch folder, wide paths, and
// the example writers for snapshots, containers and KQF files.
#ifndef TEST_THUMBNAIL_SUPPORT_H
#define TEST_THUMBNAIL_SUPPORT_H

#include <filesystem>
#include <string>

#include "KQOString.h"
#include "KQPlatform.h"
#include "KQTestInputWriter.h"

namespace thumbtest {

namespace fs = std::filesystem;

// A folder of its own per test program below the working directory.
inline fs::path Scratch(const std::string& program)
{
    fs::path dir = fs::current_path() / (program + "_files");
    std::error_code ec;
    fs::create_directories(dir, ec);
    return dir;
}

// Paths travel as UTF-8 (fs::u8path for names outside ASCII) and become
// the wide text the extractor takes.
inline std::string Utf8(const fs::path& p)
{
    return p.u8string();
}

inline std::wstring WideText(const fs::path& p)
{
    std::string u = Utf8(p);
    int n = MultiByteToWideChar(CP_UTF8, 0, u.c_str(), -1, nullptr, 0);
    std::wstring w(n > 0 ? (size_t)n : 1, L'\0');
    if (n > 0)
        MultiByteToWideChar(CP_UTF8, 0, u.c_str(), -1, &w[0], n);
    w.resize(w.size() - 1);
    return w;
}

inline KQString Wide(const fs::path& p)
{
    return KQString(WideText(p).c_str());
}

// A uniform or patterned picture in the image block's order.
inline kqinput::Bytes Pattern(int width, int height)
{
    kqinput::Bytes px((size_t)width * (size_t)height * 3);
    for (size_t i = 0; i < px.size(); i++)
        px[i] = (unsigned char)((i * 7 + i / 3) & 0xFF);
    return px;
}

inline kqinput::Bytes Uniform(int width, int height, unsigned char r, unsigned char g, unsigned char b)
{
    kqinput::Bytes px((size_t)width * (size_t)height * 3);
    for (size_t i = 0; i < px.size(); i += 3) {
        px[i] = r;
        px[i + 1] = g;
        px[i + 2] = b;
    }
    return px;
}

inline kqinput::KqfLayout KqfOf(int width, int height)
{
    kqinput::KqfLayout s;
    s.width = width;
    s.height = height;
    s.pixels = Pattern(width, height);
    return s;
}

}  // namespace thumbtest

#endif
