// Writes the shipped Lintomel examples into the folder given on the command
// line (default: the current one):
//   model.kqfx  a KQFx container whose Case001/Snapshot.jpeg is a 640 x 480
//               picture, with the binary model beside it in the container;
//   model.kqf   a binary KQF file whose first block is a bzip2-compressed
//               320 x 240 image block.
#include <cstdio>
#include <string>

#include "KQTestInputWriter.h"

int main(int argc, char** argv)
{
    using namespace kqinput;
    std::string folder = argc > 1 ? argv[1] : ".";
    if (!folder.empty() && folder.back() != '/')
        folder += '/';

    KqfLayout kqf;
    kqf.width = 320;
    kqf.height = 240;
    kqf.pixels = BottomUp(Picture(320, 240), 320, 240);
    Bytes model = BuildKqf(kqf);
    if (!WriteFile(folder + "model.kqf", model)) {
        std::fprintf(stderr, "make_examples: cannot write %smodel.kqf\n", folder.c_str());
        return 1;
    }

    Bytes snapshot = EncodeJpeg(Picture(640, 480), 640, 480, 85);
    // A fixed time stamp, so that the same libraries write the same bytes.
    ZipSettings settings;
    settings.stamp = 1262347200;  // 2010-01-01 12:00 UTC
    if (!WriteZip(folder + "model.kqfx", {{"Case001/Snapshot.jpeg", snapshot}, {"Case001/Model.kqf", model}},
                  settings)) {
        std::fprintf(stderr, "make_examples: cannot write %smodel.kqfx\n", folder.c_str());
        return 1;
    }
    std::printf("Wrote %smodel.kqf and %smodel.kqfx\n", folder.c_str(), folder.c_str());
    return 0;
}
