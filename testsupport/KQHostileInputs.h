// Writers of hostile snapshots: a few bytes that announce a large picture
// and ask the decoder for a great deal of work or memory, containers that
// inflate to far more than they hold or claim millions of entries, and KQF
// blocks that claim more packed data than any picture needs. Used by the
// tests (the small ones, as regression cases) and by kqhostileinputs, which
// writes every kind to a folder for measuring by hand.
#ifndef KQHOSTILEINPUTS_H
#define KQHOSTILEINPUTS_H

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "KQTestInputWriter.h"

namespace kqhostile {

typedef kqinput::Bytes Bytes;

// JPEG data of width x height pixels, 3 components (all 1x1 sampled, or
// 2x2 luma for 4:2:0), with one table of each kind and then `scans` scans
// that carry no entropy data at all: the decoder runs every scan over every
// block of the picture all the same.
struct FloodScan {
    std::vector<int> components;  // of 1 to 3, in order
    int first = 0, last = 0;      // coefficient band (0 to 0: DC)
    int high = 0, low = 0;        // successive approximation bits
};
struct ScanFlood {
    int width = 8192;
    int height = 8192;
    bool progressive = true;  // SOF2 with DC scans of all components; else SOF0 with scans of component 1 alone
    bool subsampled = false;  // 4:2:0
    int scans = 1;
    bool arithmetic = false;  // SOF10 or SOF9, arithmetic-coded, with no tables
    // Progressive Huffman data only: after one empty DC scan, scans of the
    // AC coefficients 1 to 63 of component 1 that carry data. The first
    // sets every one of them to 1 or -1; each later one refines them all, a
    // random bit for each, which is the most work a scan can ask of a block.
    bool refined = false;
    // Progressive only: these scans, empty, in place of the DC scans.
    std::vector<FloodScan> script;
};
Bytes FloodJpeg(const ScanFlood& s);
Bytes FloodJpeg(int width, int height, bool progressive, bool subsampled, int scans, bool arithmetic = false);

// The JPEG with `markers` APP1 markers of 65,533 data bytes each inserted
// right after its start-of-image marker.
Bytes WithMarkerFlood(const Bytes& jpeg, int markers);

// A KQFx container whose snapshot entry holds the bytes, deflated at level 9.
bool WriteContainer(const std::string& path, const Bytes& snapshot);

// A zip archive of `entries` empty stored entries, written without libzip
// (zip64 end records when needed).
bool WriteManyEntryZip(const std::string& path, uint32_t entries);

// The archive (written with no comment) with its end record repeated
// `copies` times as its comment, each copy without a comment of its own:
// every copy claims the archive's own directory, so libzip weighs each one
// against that directory.
Bytes WithEchoedEnd(const Bytes& zip, int copies);

// count distinct names, each prefix followed by 16 of the pairs "Ez" and
// "FY", which libzip's name hash (h * 33 + c from 5381, 32 bits) takes
// alike: every name hashes to the same value.
std::vector<std::string> CollidingNames(size_t count, const std::string& prefix = std::string());

// A zip archive of stored entries written without libzip (whose own writer
// would take as long to add colliding names as its reader takes to open
// them), with zip64 end records from 65,535 entries on.
bool WriteStoredZip(const std::string& path, const std::vector<std::pair<std::string, Bytes>>& entries);

// width x height pixels, rows top first, of one 8 x 8 tile of noise
// repeated: every block of the picture codes alike, so its JPEG data is
// small however large the picture, while each block costs a full decode.
Bytes NoiseTile(int width, int height);

// width x height pixels of noise.
Bytes Noise(int width, int height);

// A KQF file whose compressed 3000 x 3000 image block claims `packed` bytes
// of data; the file is made that long by a hole after a few bytes of it.
bool WriteLongPackedKqf(const std::string& path, int32_t packed);

// XML parts of shapes that no real package has, each a few bytes a node:
// elements nested depth deep, one element with count attributes, count
// empty elements, count content-type Override elements.
std::string NestedElements(size_t depth);
std::string ManyAttributes(size_t count);
std::string EmptyElements(size_t count);
std::string Overrides(size_t count);

// A presentation as an office suite writes it, with one slide whose viewer
// control names the model file model (a path as the control holds it).
// extra goes inside the root element of the part named part
// ("[Content_Types].xml", "_rels/.rels", "ppt/_rels/presentation.xml.rels"
// or "ppt/activeX/activeX1.xml"), after what a real part holds there.
// Entries are deflated, so a part of megabytes of markup makes a package of
// kilobytes.
bool WriteHostilePackage(const std::string& path, const std::string& model, const std::string& part,
                         const std::string& extra);

// As WriteHostilePackage, with the declaration of the part named part
// (every part has one) replaced by declaration.
bool WriteHostilePackageDeclared(const std::string& path, const std::string& model, const std::string& part,
                                 const std::string& declaration, const std::string& extra);

// Text that TinyXML read otherwise than any strict parser: "&#x" (or "&#")
// read on to the next ';', so that what looks like a comment around hidden
// holds live markup to TinyXML. The kinds of the trick: 0 "&#x<!--x41;",
// 1 "&#<!--65;", each ending the comment after hidden; 2 "&#x<#x;" before
// each of count "<x>", then "<x" (hidden is not used).
std::string ReferenceTrick(int kind, const std::string& hidden, size_t count = 0);

// Control parts that cannot be read, in the same presentation: one over
// the bounds of a part (65 MiB of comment, deflated), one whose zip records
// claim 1 GiB (its entries stored, written field by field), one with an
// internal DTD, one cut short.
enum UnreadableControl { CONTROL_OVERSIZED, CONTROL_SIZE_CLAIM, CONTROL_DTD, CONTROL_MALFORMED };
bool WriteUnreadableControlPackage(const std::string& path, const std::string& model, UnreadableControl kind);

// A model container whose zip64 end record lies before its directory: the
// snapshot's entry, then the record, then a directory of `entries` records
// (the snapshot's and empty ones), each with extraBytes of empty extra
// fields and commentBytes of comment, then the locator and the end record.
// The zero bytes are left as holes where the file system allows.
bool WriteZip64EndBeforeDirectory(const std::string& path, const Bytes& snapshot, uint32_t entries,
                                  uint32_t extraBytes, uint32_t commentBytes);

// count distinct names "h-<base 36>" whose std::hash falls in one bucket of
// a table of `buckets` buckets: a table keyed by the names themselves,
// unkeyed, files them all in one chain. A brute-force search, about
// count * buckets hashes.
std::vector<std::string> OneBucketNames(size_t count, size_t buckets);

}  // namespace kqhostile

#endif
