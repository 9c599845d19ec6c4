// Sparse images and sparse bundles: every shape the writers make reads back as the flat image and
// opens as a volume; damaged headers, indexes and property lists give one line and no crash.
#include <filesystem>
#include <functional>

#include "hfsbuild/sparse.h"
#include "image/sparse.h"
#include "image/sparse_bundle.h"
#include "unit.h"

using namespace unit;

namespace {

// A volume whose file of random bytes fills over 2018 sectors: three index nodes in 512-byte bands.
const ByteVec &flatVolume() {
    static const ByteVec volume = [] {
        hfsbuild::Volume random;
        random.nodes = {hfsbuild::fileNode("/random.bin", randomBytes(1200000, 7))};
        return hfsbuild::buildVolume(random);
    }();
    return volume;
}

std::unique_ptr<Image> sparseImage(const std::string &name, const ByteVec &file, Messages &said) {
    return openSparseImage(std::make_unique<FileImage>(UniqueFd(open(writeScratch(name, file).c_str(), O_RDONLY))), said);
}

size_t openDescriptors() {
    return static_cast<size_t>(std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {}));
}

// Reads `flat` then zeros to `size`: whole, and ten bytes at a time across band edges and the end.
void expectReadsAs(const Image &image, const ByteVec &flat, uint64_t bandBytes, uint64_t size) {
    ASSERT_EQ(image.size(), size);
    ByteVec whole(flat.size());
    ASSERT_EQ(image.readAt(whole.data(), whole.size(), 0), static_cast<ssize_t>(whole.size()));
    EXPECT_TRUE(whole == flat);
    for (uint64_t at : {bandBytes - 3, 2 * bandBytes - 1, 7 * bandBytes - 5, flat.size() - 4, size - 6, size}) {
        if (at > size) continue;
        ByteVec got(10, 0xAA), want(std::min<uint64_t>(10, size - at), 0);
        for (size_t i = 0; i < want.size() && at + i < flat.size(); ++i) want[i] = flat[at + i];
        ASSERT_EQ(image.readAt(got.data(), got.size(), at), static_cast<ssize_t>(want.size())) << at;
        got.resize(want.size());
        EXPECT_EQ(got, want) << at;
    }
}

}  // namespace

TEST(Sparse, EveryShapeReadsBackAndOpens) {
    const ByteVec &flat = flatVolume();
    // Bundle or image, band size (bytes; sectors for images), image size (0: the volume's).
    std::tuple<const char *, bool, uint64_t, uint64_t> cases[] = {
        {"one-node", false, 8, 0},
        {"chained", false, 1, 0},
        {"odd-band", false, 7, flat.size() + 5 * 512},   // the last band short
        {"past-2TiB", false, 2048, 1ull << 42},          // the 64-bit size; the rest never stored
        {"bundle", true, 65536, 0},
        {"bundle-odd", true, 5000, 0},                   // the last band short, band files cut at their zeros
        {"bundle-missing", true, 8192, flat.size() + (10 << 20)},
    };
    for (const auto &[name, bundle, band, size] : cases) {
        Messages said;
        std::unique_ptr<Image> image;
        if (bundle) {
            std::string path = scratchDir() + "/" + name + ".sparsebundle";
            hfsbuild::writeSparseBundle(path, flat, {.bandBytes = band, .size = size});
            size_t before = openDescriptors();
            std::string token;
            image = openSparseBundle(path, &token, said);
            ASSERT_TRUE(image) << said.text(false);
            expectReadsAs(*image, flat, band, size ? size : flat.size());
            EXPECT_LE(openDescriptors(), before + 33) << name;   // the bands folder and a few dozen bands
        } else {
            ByteVec file = hfsbuild::buildSparseImage(flat, {.sectorsPerBand = static_cast<uint32_t>(band), .size = size});
            EXPECT_EQ(view(file).be32(12) > 1, band == 1) << name;   // only then is a second index node needed
            image = sparseImage(std::string(name) + ".sparseimage", file, said);
            ASSERT_TRUE(image) << said.text(false);
            expectReadsAs(*image, flat, band * 512, size ? size : flat.size());
        }
        EXPECT_EQ(said.text(false), "") << name;
        EXPECT_TRUE(Volume::open(std::move(image), 0, said)) << name << said.text(false);
    }
}

TEST(Sparse, DamagedImagesSayOneLine) {
    const ByteVec chained = hfsbuild::buildSparseImage(flatVolume(), {.sectorsPerBand = 1, .size = 0});
    Bytes file = view(chained);
    uint64_t second = file.be32(12), third = file.be64(second + 12), bands = flatVolume().size() / 512;
    std::string first = std::to_string(file.be32(64)), node = "Sparse image: the index node at ";
    // What is done to the image, the line it gives, whether it still opens.
    std::tuple<std::function<void(ByteVec &)>, std::string, bool> cases[] = {
        {[](ByteVec &f) { f.resize(100); }, "The sparse image's header is cut short: 100 of its 4096 bytes\n", false},
        {[](ByteVec &f) { be(f, 4, 2); }, "The sparse image has format version 2; Tarnwick reads version 3\n", false},
        {[](ByteVec &f) { be(f, 8, 0); }, "The sparse image's header gives 0 sectors per band (1 to 2097152 expected)\n", false},
        {[](ByteVec &f) { be(f, 24, 1ull << 60, 8); }, "The sparse image's size, 1152921504606846976 sectors, is more than a file can hold\n", false},
        {[](ByteVec &f) { be(f, 64, 0x10000000); },
         "Sparse image: 1 band slot naming a band past the image's " + std::to_string(bands) +
             " bands (first: band 268435456 in slot 0 of the index node at 0): ignored\n", true},
        {[](ByteVec &f) { std::copy_n(f.begin() + 64, 4, f.begin() + 72); },
         "Sparse image: 1 band slot repeating a band already stored (first: band " + first + " in slot 2 of the index node at 0): ignored\n", true},
        {[&](ByteVec &f) { be(f, third + 12, second, 8); },
         node + std::to_string(third) + " points back into the chain (at " + std::to_string(second) + "): the nodes after it are not read\n", true},
        {[&](ByteVec &f) { be(f, 12, f.size()); },
         node + "0 points past the end of the file (at " + std::to_string(chained.size()) + "): the nodes after it are not read\n", true},
        {[&](ByteVec &f) { be(f, second + 12, f.size() - 4096, 8); },
         node + std::to_string(second) + " points to no index node (at " + std::to_string(chained.size() - 4096) + "): the nodes after it are not read\n", true},
        {[&](ByteVec &f) { f.resize(third + 4096 + 512); },   // the third node's later slots lie past the end
         "Sparse image: " + std::to_string((chained.size() - third - 4096) / 512 - 1) +
             " band slots whose band lies past the end of the file (first: band", true},
    };
    for (const auto &[damage, err, opens] : cases) {
        ByteVec damaged = chained;
        damage(damaged);
        Messages said;
        EXPECT_EQ(sparseImage("damaged.sparseimage", damaged, said) != nullptr, opens) << err;
        std::string text = said.text(false);
        EXPECT_TRUE(text.starts_with(err)) << text;
        EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1) << text;
    }
}

TEST(Sparse, BundlePropertyListsReadByXMLRules) {
    const std::string path = scratchDir() + "/plist.sparsebundle", info = hfsbuild::sparseBundleInfo(8192, 4 << 20);
    hfsbuild::writeSparseBundle(path, flatVolume(), {.bandBytes = 8192, .size = 4 << 20});
    const std::string band = "<key>band-size</key>\n\t<integer>8192</integer>", version = "<integer>1</integer>";
    // What replaces what in Info.plist (nothing to replace: no Info.plist), and the line it gives.
    std::pair<std::vector<std::string>, std::string> cases[] = {
        {{band, "<!-- <key>band-size</key><integer>0</integer> --><?pi <key>?>" + band +
                    "<key>nested</key><dict><key>size</key><integer>1</integer></dict>"
                    "<key>empty</key><true/>"},
         ""},
        {{"8192</integer>", " \n8192\t</integer>", ".sparsebundle<", ".&#x73;parse<![CDATA[bundle]]><"}, ""},
        {{version, "<integer>2</integer>"}, "The sparse bundle has backing store version 2; Tarnwick reads version 1\n"},
        {{band, ""}, "The sparse bundle's Info.plist has no <integer> for band-size\n"},
        {{"<key>size</key>", "<key>Size</key>"}, "The sparse bundle's Info.plist has no <integer> for size\n"},
        {{"<string>com", "<integer>com"}, "The sparse bundle's Info.plist is damaged: </string> closes no open element\n"},
        {{"8192", "0"}, "The sparse bundle's band size, 0 bytes, is not one of 512 bytes to 4 GiB\n"},
        {{"8192", "18446744073709551616"}, "The sparse bundle's band-size, \"18446744073709551616\", is no number\n"},
        {{".sparsebundle", ".udif&lt;"}, "The bundle is of type \"com.apple.diskimage.udif<\", not a sparse bundle "
                                          "(com.apple.diskimage.sparsebundle)\n"},
        {{"</dict>", ""}, "The sparse bundle's Info.plist is damaged: </plist> closes no open element\n"},
        {{"6.0", "6&zero;"}, "The sparse bundle's Info.plist is damaged: an unknown or unended reference\n"},
        {{"<key>size</key>", "<key>band-size</key>"}, "The sparse bundle's Info.plist is damaged: the key \"band-size\" is given twice\n"},
        {{}, "The sparse bundle's Info.plist cannot be opened: No such file or directory\n"},
    };
    for (const auto &[edits, err] : cases) {
        std::string text = info;
        for (size_t i = 0; i + 1 < edits.size(); i += 2) text.replace(text.find(edits[i]), edits[i].size(), edits[i + 1]);
        std::filesystem::remove(path + "/Info.plist");
        if (!edits.empty()) writeScratch("plist.sparsebundle/Info.plist", bytesOf(text));
        Messages said;
        std::string token;
        std::unique_ptr<Image> image = openSparseBundle(path, &token, said);
        EXPECT_EQ(said.text(false), err) << text;
        EXPECT_EQ(image != nullptr, err.empty()) << text;
        EXPECT_EQ(image ? image->size() : 4u << 20, 4u << 20);
    }
}
