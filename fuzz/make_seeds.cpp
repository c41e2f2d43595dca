// Writes the seed corpus of the fuzz targets: a few well-formed inputs under several option sets.
//   build/fuzz/fuzz/fuzz_make_seeds fuzz/corpus
#include "fuzz/fuzz_records.h"

#include "stream/zlib_framing.h"

#include <cstdio>
#include <string>

namespace {

void Save(const std::string& Path, uint8_t First, rv::TMemoryStream& Body) {
    std::FILE* f = std::fopen(Path.c_str(), "wb");
    if (!f) return;
    std::fputc(First, f);
    std::fwrite(Body.Memory(), 1, static_cast<size_t>(Body.Size()), f);
    std::fclose(f);
}

} // namespace

int main(int argc, char** argv) {
    const std::string dir = argc > 1 ? argv[1] : "fuzz/corpus";
    auto rec = rv::MakeSmartStream<fuzz_records::TEverything>();
    rec->Bool = true;
    rec->LongInt = 123456;
    rec->Long = "long string";
    rec->Short = "short";
    rec->Strings = {"a", "", "ccc"};
    rec->CompressedStrings = {"compressed", "lines"};
    rec->Bits = {true, false, true};
    rec->Block = {1, 2, 3, 4};
    rec->Nested.S = "nested";
    rec->Private.Text = "private";
    rec->Stream.WriteBuffer("stream bytes", 12);
    rec->CompressedStream.WriteBuffer("zzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzz", 32);
    for (int i = 0; i < 2; ++i) {
        auto leaf = rv::MakeSmartStream<fuzz_records::TLeaf>();
        leaf->V = i;
        leaf->S = "leaf";
        rec->List.Add(std::move(leaf));
    }
    rec->Mux->SetStreamItemType(1);
    // Default options, no framing at all, the info-stream framing, and size fields with everything.
    for (uint8_t options : {0x03, 0x00, 0x05, 0x0F}) {
        fuzz_records::ApplyOptions(*rec, options);
        rv::TMemoryStream body;
        rec->SaveToStream(body);
        Save(dir + "/smart_stream_load/seed_" + std::to_string(options), options, body);
    }

    for (int tagged = 0; tagged < 2; ++tagged) {
        rv::TMemoryStream src, body;
        src.WriteBuffer("hello hello hello hello", 23);
        rv::CompressStreamToStream(src, body, tagged ? 7 : 0);
        Save(dir + "/decompress/seed_" + std::to_string(tagged), static_cast<uint8_t>(tagged), body);
    }
    return 0;
}
