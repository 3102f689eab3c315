// Shared helpers of the Lintomel tests: a scratch folder, wide paths, and
// the example writers for snapshots, containers and KQF files.
#ifndef TEST_THUMBNAIL_SUPPORT_H
#define TEST_THUMBNAIL_SUPPORT_H

#include <filesystem>
#include <string>

#include "../examples/lintomel/KQThumbExampleWriter.h"
#include "KQOString.h"

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

inline bool Write(const fs::path& p, const kqexample::Bytes& data)
{
    return kqexample::WriteFile(p.string(), data);
}

inline KQString Wide(const fs::path& p) { return KQString(p.wstring().c_str()); }

// A uniform or patterned picture in the image block's order.
inline kqexample::Bytes Pattern(int width, int height)
{
    kqexample::Bytes px((size_t)width * (size_t)height * 3);
    for (size_t i = 0; i < px.size(); i++)
        px[i] = (unsigned char)((i * 7 + i / 3) & 0xFF);
    return px;
}

inline kqexample::Bytes Uniform(int width, int height, unsigned char r, unsigned char g, unsigned char b)
{
    kqexample::Bytes px((size_t)width * (size_t)height * 3);
    for (size_t i = 0; i < px.size(); i += 3) {
        px[i] = r;
        px[i + 1] = g;
        px[i + 2] = b;
    }
    return px;
}

inline kqexample::KqfSpec Spec(int width, int height)
{
    kqexample::KqfSpec s;
    s.width = width;
    s.height = height;
    s.pixels = Pattern(width, height);
    return s;
}

} // namespace thumbtest

#endif
