// kqhostileinputs FOLDER: writes one file of every hostile kind that the
// thumbnail readers must refuse or show cheaply, for measuring them by hand
// (for example under /usr/bin/time -v around kqthumbhost). The large ones
// (a 255 MiB entry, millions of entries, a 2 GiB sparse KQF) are big on
// disk or slow to write and only come with --large.
// kqhostileinputs FOLDER --packages: the presentations whose XML parts
// Corvessa must refuse or read cheaply, each naming model.kqfx beside it.
// kqhostileinputs FOLDER --zip-directories: containers whose zip64 end
// record lies before their directory (213 MB and 1.05 GB, mostly holes),
// and packages of 64,000 names that share one std::hash bucket of the table
// they fill and of 64,000 ordinary names (the search takes minutes).
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "KQHostileInputs.h"

namespace {

// The example picture with grain, so that its JPEG data is about as dense as
// a camera's (a few bits a pixel) rather than nearly empty.
kqinput::Bytes Photo(int width, int height)
{
    kqinput::Bytes px = kqinput::Picture(width, height);
    uint32_t state = 12345;
    for (unsigned char& v : px) {
        state = state * 1664525u + 1013904223u;
        int grain = (int)(state >> 27) - 16;
        int x = v + grain;
        v = (unsigned char)(x < 0 ? 0 : x > 255 ? 255 : x);
    }
    return px;
}

// The container of the small snapshot and entries - 1 empty entries, its
// end record repeated copies times as its comment.
bool WriteEchoed(const std::string& path, const kqinput::Bytes& snapshot, int entries, int copies)
{
    std::vector<std::pair<std::string, kqinput::Bytes>> content{{"Case001/Snapshot.jpeg", snapshot}};
    for (int i = 1; i < entries; ++i)
        content.emplace_back("Case001/part" + std::to_string(i) + ".dat", kqinput::Bytes());
    return kqinput::WriteZip(path, content) &&
           kqinput::WriteFile(path, kqhostile::WithEchoedEnd(kqinput::ReadFile(path), copies));
}

// The container of the small snapshot and an empty entry of each name.
bool WriteNamed(const std::string& path, const kqinput::Bytes& snapshot, const std::vector<std::string>& names)
{
    std::vector<std::pair<std::string, kqinput::Bytes>> content{{"Case001/Snapshot.jpeg", snapshot}};
    for (const std::string& name : names)
        content.emplace_back(name, kqinput::Bytes());
    return kqhostile::WriteStoredZip(path, content);
}

// As many names of the same length as the colliding ones, spread as a
// model's are.
std::vector<std::string> OrdinaryNames(size_t count)
{
    std::vector<std::string> names;
    for (size_t i = 0; i < count; ++i) {
        char name[40];
        std::snprintf(name, sizeof(name), "Case001/Results/step%05zu/field.dat", i);
        names.push_back(name);
    }
    return names;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: kqhostileinputs FOLDER [--large]\n");
        return 2;
    }
    const std::string dir = argv[1];
    const bool large = argc > 2 && std::strcmp(argv[2], "--large") == 0;
    using namespace kqhostile;
    bool ok = true;
    if (argc > 2 && std::strcmp(argv[2], "--zip-directories") == 0) {
        const Bytes small = kqinput::EncodeJpeg(kqinput::Picture(64, 48), 64, 48);
        ok &= WriteZip64EndBeforeDirectory(dir + "/zip64-before-directory-extras.kqfx", small, 65535, 3200, 0);
        ok &= WriteZip64EndBeforeDirectory(dir + "/zip64-before-directory-comments.kqfx", small, 65535, 0, 16000);
        const size_t count = 64000;
        std::unordered_map<std::string, int> table;
        for (size_t i = 0; i < count; ++i)
            table[std::to_string(i)] = 0;
        std::vector<std::pair<std::string, Bytes>> crafted, ordinary;
        for (const std::string& name : OneBucketNames(count, table.bucket_count()))
            crafted.emplace_back(name, Bytes());
        for (size_t i = 0; i < count; ++i)
            ordinary.emplace_back("h-" + std::to_string(1000000 + i), Bytes());
        ok &= WriteStoredZip(dir + "/names-one-bucket-64000.pptx", crafted);
        ok &= WriteStoredZip(dir + "/names-ordinary-64000.pptx", ordinary);
        if (!ok)
            std::fprintf(stderr, "kqhostileinputs: could not write every archive to %s\n", dir.c_str());
        return ok ? 0 : 1;
    }
    if (argc > 2 && std::strcmp(argv[2], "--packages") == 0) {
        ok &= WriteContainer(dir + "/model.kqfx", kqinput::EncodeJpeg(kqinput::Picture(64, 48), 64, 48));
        const std::pair<const char*, const char*> parts[] = {{"types", "[Content_Types].xml"},
                                                             {"rels", "_rels/.rels"},
                                                             {"mainrels", "ppt/_rels/presentation.xml.rels"},
                                                             {"control", "ppt/activeX/activeX1.xml"}};
        for (const auto& part : parts)
            for (size_t depth : {5000, 10000, 37000, 38000, 100000, 1000000})
                ok &= WriteHostilePackage(dir + "/nested-" + std::to_string(depth) + "-" + part.first + ".pptx",
                                          "model.kqfx", part.second, NestedElements(depth));
        for (size_t count : {30000, 100000, 1000000})
            ok &= WriteHostilePackage(dir + "/attributes-" + std::to_string(count) + "-rels.pptx", "model.kqfx",
                                      "_rels/.rels", ManyAttributes(count));
        for (size_t count : {4000000, 15000000})
            ok &= WriteHostilePackage(dir + "/empty-" + std::to_string(count) + "-rels.pptx", "model.kqfx",
                                      "_rels/.rels", EmptyElements(count));
        ok &= WriteHostilePackage(dir + "/overrides-1000000-types.pptx", "model.kqfx", "[Content_Types].xml",
                                  Overrides(1000000));
        ok &= WriteHostilePackage(dir + "/plain.pptx", "model.kqfx", std::string(), std::string());
        // Markup that TinyXML read otherwise than a strict parser ("&#x" read
        // on to the next ';'), hiding depth, elements or attributes.
        for (const auto& part : parts) {
            const std::string at = std::string("-") + part.first + ".pptx";
            ok &= WriteHostilePackage(dir + "/trick-hex-nested-50000" + at, "model.kqfx", part.second,
                                      ReferenceTrick(0, NestedElements(50000)));
            ok &= WriteHostilePackage(dir + "/trick-dec-nested-50000" + at, "model.kqfx", part.second,
                                      ReferenceTrick(1, NestedElements(50000)));
            ok &= WriteHostilePackage(dir + "/trick-rootend-nested-200000" + at, "model.kqfx", part.second,
                                      "&#x</Types></Relationships></ax:ocx>x;" + NestedElements(200000));
            ok &= WriteHostilePackage(dir + "/trick-nested-30000" + at, "model.kqfx", part.second,
                                      ReferenceTrick(0, NestedElements(30000)));
            ok &= WriteHostilePackage(dir + "/trick-empty-2000000" + at, "model.kqfx", part.second,
                                      ReferenceTrick(0, EmptyElements(2000000)));
            ok &= WriteHostilePackage(dir + "/trick-empty-16MiB" + at, "model.kqfx", part.second,
                                      ReferenceTrick(0, EmptyElements(4190000)));
            ok &= WriteHostilePackage(dir + "/trick-attributes-100000" + at, "model.kqfx", part.second,
                                      ReferenceTrick(0, ManyAttributes(100000)));
            for (size_t depth : {2, 50000})
                ok &= WriteHostilePackageDeclared(
                    dir + "/trick-declaration-" + std::to_string(depth) + at, "model.kqfx", part.second,
                    "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"&amp;#x\"?>",
                    "<!--x41;\"?>" + NestedElements(depth) + "-->");
        }
        ok &= WriteHostilePackage(dir + "/trick-lt-40000-control.pptx", "model.kqfx", "ppt/activeX/activeX1.xml",
                                  ReferenceTrick(2, std::string(), 40000));
        ok &= WriteHostilePackage(dir + "/fileurl-nul-control.pptx", "m.kqfx&#0;.evil", std::string(), std::string());
        const std::pair<const char*, UnreadableControl> controls[] = {{"oversized", CONTROL_OVERSIZED},
                                                                      {"sizeclaim", CONTROL_SIZE_CLAIM},
                                                                      {"dtd", CONTROL_DTD},
                                                                      {"malformed", CONTROL_MALFORMED}};
        for (const auto& c : controls)
            ok &= WriteUnreadableControlPackage(dir + "/control-" + c.first + ".pptx", "model.kqfx", c.second);
        if (!ok)
            std::fprintf(stderr, "kqhostileinputs: could not write every package to %s\n", dir.c_str());
        return ok ? 0 : 1;
    }
    const Bytes small = kqinput::EncodeJpeg(kqinput::Picture(64, 48), 64, 48);
    ok &= WriteContainer(dir + "/scans-10000.kqfx", FloodJpeg(8192, 8192, true, false, 10000));
    ok &= WriteContainer(dir + "/scans-100000.kqfx", FloodJpeg(8192, 8192, true, false, 100000));
    ok &= WriteContainer(dir + "/baseline-scans-1000.kqfx", FloodJpeg(8192, 8192, false, false, 1000));
    ok &= WriteContainer(dir + "/header-only-444.kqfx", FloodJpeg(8192, 8191, true, false, 1));
    // The largest progressive 4:2:0 picture the budget admits, its header
    // only, and the same with 64 scans (the scan limit), and 4:4:4 with 64
    // and 65 scans. The 64 scans over either ask for more than the scan work
    // allowed.
    ok &= WriteContainer(dir + "/header-only-420-limit.kqfx", FloodJpeg(6096, 4576, true, true, 1));
    ok &= WriteContainer(dir + "/scans-64-420-limit.kqfx", FloodJpeg(6096, 4576, true, true, 64));
    ok &= WriteContainer(dir + "/scans-64-444-limit.kqfx", FloodJpeg(4992, 3728, true, false, 64));
    ok &= WriteContainer(dir + "/scans-65-444-limit.kqfx", FloodJpeg(4992, 3728, true, false, 65));
    // Scans that refine every coefficient of a component with random bits,
    // over the largest progressive 4:4:4 picture: as many as the scan work
    // admits (the costliest admitted snapshot), and 64 of them.
    ScanFlood refined;
    refined.width = 5000;
    refined.height = 3728;
    refined.refined = true;
    refined.scans = 9;
    ok &= WriteContainer(dir + "/refined-9-444-limit.kqfx", FloodJpeg(refined));
    refined.scans = 64;
    ok &= WriteContainer(dir + "/refined-64-444-limit.kqfx", FloodJpeg(refined));
    ok &= WriteContainer(dir + "/markers-256.kqfx", WithMarkerFlood(small, 256));
    ok &= WriteManyEntryZip(dir + "/entries-70000.kqfx", 70000);
    // Containers whose comment repeats their end record; entries with names
    // that libzip's name hash takes alike, and ordinary ones to set against
    // them.
    ok &= WriteEchoed(dir + "/end-echoed-1000x2000.kqfx", small, 2000, 1000);
    ok &= WriteEchoed(dir + "/end-echoed-2978x65533.kqfx", small, 65533, 2978);
    ok &= WriteNamed(dir + "/names-colliding-65534.kqfx", small, CollidingNames(65534));
    ok &=
        WriteNamed(dir + "/names-colliding-65534-prefix100.kqfx", small, CollidingNames(65534, std::string(100, 'p')));
    ok &= WriteNamed(dir + "/names-ordinary-65534.kqfx", small, OrdinaryNames(65534));
    // Arithmetic-coded data: a tile of noise repeated over the largest
    // single-scan picture the budget admits, and 64 empty progressive scans
    // over the largest progressive 4:2:0 one.
    kqinput::JpegSettings arithmetic;
    arithmetic.arithmetic = true;
    arithmetic.quality = 100;
    arithmetic.fullChroma = true;
    ok &= WriteContainer(dir + "/arith-tile-8192x6826.kqfx",
                         kqinput::EncodeJpeg(NoiseTile(8192, 6826), 8192, 6826, arithmetic));
    ScanFlood arithmeticScans;
    arithmeticScans.arithmetic = true;
    arithmeticScans.subsampled = true;
    arithmeticScans.width = 6096;
    arithmeticScans.height = 4576;
    arithmeticScans.scans = 64;
    ok &= WriteContainer(dir + "/arith-scans-64-420-limit.kqfx", FloodJpeg(arithmeticScans));
    if (large) {
        // Real snapshots at the largest sizes the budget admits, to set the
        // hostile files' costs against: progressive 4:2:0 and baseline.
        kqinput::JpegSettings progressive;
        progressive.progressive = true;
        ok &= WriteContainer(dir + "/real-progressive-420-limit.kqfx",
                             kqinput::EncodeJpeg(Photo(6096, 4576), 6096, 4576, progressive));
        ok &= WriteContainer(dir + "/real-baseline-420-limit.kqfx",
                             kqinput::EncodeJpeg(Photo(8192, 6826), 8192, 6826, 90));
        // Noise at the largest single-scan size, Huffman- and
        // arithmetic-coded: the costliest real data at the limits.
        kqinput::JpegSettings noise;
        noise.quality = 100;
        noise.fullChroma = true;
        const kqinput::Bytes noisePixels = Noise(8192, 6826);
        ok &= WriteContainer(dir + "/huffman-noise-limit.kqfx", kqinput::EncodeJpeg(noisePixels, 8192, 6826, noise));
        noise.arithmetic = true;
        ok &= WriteContainer(dir + "/arith-noise-limit.kqfx", kqinput::EncodeJpeg(noisePixels, 8192, 6826, noise));
        ok &= WriteContainer(dir + "/markers-250MiB.kqfx", WithMarkerFlood(small, 4000));
        Bytes bomb = small;
        bomb.resize(255u << 20, 0);
        ok &= WriteContainer(dir + "/bomb-255MiB.kqfx", bomb);
        ok &= WriteManyEntryZip(dir + "/entries-1000000.kqfx", 1000000);
        ok &= WriteManyEntryZip(dir + "/entries-4000000.kqfx", 4000000);
        ok &= WriteLongPackedKqf(dir + "/packed-2GiB.kqf", 0x7FFFFFFF);
    }
    if (!ok)
        std::fprintf(stderr, "kqhostileinputs: could not write every file to %s\n", dir.c_str());
    return ok ? 0 : 1;
}
