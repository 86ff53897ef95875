// Entry payloads: the header, the LZMA1 decoding rules (the declared size with or
// without an end marker, an end marker before it, truncation), the x86 BCJ
// decoder, and unpacking from a package file into a work file. Payloads come
// from liblzma's encoders and, on Linux, from the xz command-line tool.
#include <gtest/gtest.h>
#include <lzma.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "files/unpack.h"
#include "format/payload.h"
#include "platform/os.h"
#include "support/test_support.h"

namespace {

using Bytes = std::vector<uint8_t>;

// Moderately compressible data: text-like records with numbers, runs and some
// noise, like the product's data files.
Bytes MakeData(size_t size, uint32_t seed) {
  std::mt19937 rng(seed);
  static const char* const kWords[] = {"ZUM", "Base", "record", "Rus", "Ukr", "value",
                                       "0000", "ИТОГО", "строка", "данные"};
  Bytes out;
  out.reserve(size + 64);
  while (out.size() < size) {
    switch (rng() % 4) {
      case 0: {
        std::string w = kWords[rng() % 10];
        out.insert(out.end(), w.begin(), w.end());
        out.push_back(' ');
        break;
      }
      case 1: {
        std::string n = std::to_string(rng() % 100000) + ";";
        out.insert(out.end(), n.begin(), n.end());
        break;
      }
      case 2: out.insert(out.end(), 1 + rng() % 24, static_cast<uint8_t>(rng())); break;
      default:
        for (int i = 0; i < 6; ++i) out.push_back(static_cast<uint8_t>(rng()));
    }
  }
  out.resize(size);
  return out;
}

// x86-like code: many E8/E9 opcodes followed by near (00..) and far-back (FF..)
// operands, the case the branch-call filter exists for, mixed with other bytes.
Bytes MakeCode(size_t size, uint32_t seed) {
  std::mt19937 rng(seed);
  Bytes out;
  while (out.size() < size) {
    uint32_t r = rng() % 8;
    if (r < 3) {
      out.push_back(r == 0 ? 0xE9 : 0xE8);
      int32_t rel = static_cast<int32_t>(rng() % 200000) - 100000;
      for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(rel >> (8 * i)));
    } else if (r == 3) {
      out.push_back(0xE8);  // an opcode byte whose "operand" is not a near target
    } else {
      out.push_back(static_cast<uint8_t>(rng() % 0x60));
    }
  }
  out.resize(size);
  return out;
}

// The packages' settings (lc 3, lp 0, pb 2, 8 MiB); a low preset only makes the
// encoder faster.
lzma_options_lzma Lzma1Options(uint32_t preset = 6) {
  lzma_options_lzma opt;
  lzma_lzma_preset(&opt, preset);
  opt.dict_size = 8u << 20;
  return opt;
}

// The 5 property bytes of `opt` as a payload header stores them.
void PutProps(const lzma_options_lzma& opt, uint8_t* props) {
  props[0] = static_cast<uint8_t>((opt.pb * 5 + opt.lp) * 9 + opt.lc);
  for (int i = 0; i < 4; ++i) props[1 + i] = static_cast<uint8_t>(opt.dict_size >> (8 * i));
}

Bytes Header(uint8_t filter, const uint8_t props[5], uint64_t size) {
  Bytes h(payload::kHeaderSize);
  h[0] = filter;
  std::memcpy(&h[1], props, 5);
  for (int i = 0; i < 8; ++i) h[6 + i] = static_cast<uint8_t>(size >> (8 * i));
  return h;
}

Bytes Concat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// A raw LZMA1 stream from liblzma. `endMarker` false uses the extended filter,
// which leaves the marker out; `x86` puts the branch-call filter in front.
Bytes RawEncode(const Bytes& data, bool endMarker, bool x86, uint32_t x86Start = 0,
                uint32_t preset = 6) {
  lzma_options_lzma opt = Lzma1Options(preset);
  opt.ext_flags = endMarker ? LZMA_LZMA1EXT_ALLOW_EOPM : 0;
  lzma_options_bcj bcj{};
  bcj.start_offset = x86Start;
  lzma_filter filters[3];
  int n = 0;
  if (x86) filters[n++] = {LZMA_FILTER_X86, &bcj};
  filters[n++] = {endMarker ? LZMA_FILTER_LZMA1 : LZMA_FILTER_LZMA1EXT, &opt};
  filters[n] = {LZMA_VLI_UNKNOWN, nullptr};
  Bytes out(data.size() + data.size() / 2 + 4096);
  size_t outPos = 0;
  EXPECT_EQ(lzma_raw_buffer_encode(filters, nullptr, data.data(), data.size(), out.data(), &outPos,
                                   out.size()),
            LZMA_OK);
  out.resize(outPos);
  return out;
}

// A payload: our header in front of a raw stream of `data`.
Bytes MakePayload(const Bytes& data, bool endMarker, uint8_t filter = 0, uint32_t preset = 6) {
  lzma_options_lzma opt = Lzma1Options(preset);
  uint8_t props[5];
  PutProps(opt, props);
  return Concat(Header(filter, props, data.size()),
                RawEncode(data, endMarker, filter == 1, 0, preset));
}

// The classic .lzma file of liblzma's own encoder (13-byte header with an unknown
// size and an end marker), made a payload by the filter byte in front and the
// real size in the header.
Bytes AlonePayload(const Bytes& data) {
  lzma_options_lzma opt = Lzma1Options();
  lzma_stream strm = LZMA_STREAM_INIT;
  EXPECT_EQ(lzma_alone_encoder(&strm, &opt), LZMA_OK);
  Bytes out(data.size() + data.size() / 2 + 4096);
  strm.next_in = data.data();
  strm.avail_in = data.size();
  strm.next_out = out.data();
  strm.avail_out = out.size();
  EXPECT_EQ(lzma_code(&strm, LZMA_FINISH), LZMA_STREAM_END);
  out.resize(strm.total_out);
  lzma_end(&strm);
  out.insert(out.begin(), 0);
  for (int i = 0; i < 8; ++i) out[6 + i] = static_cast<uint8_t>(uint64_t{data.size()} >> (8 * i));
  return out;
}

struct Decoded {
  payload::Status status;
  uint32_t produced = 0;
  Bytes out;
};

// Decodes from a heap copy of exactly the payload's bytes, so that a read past the
// end is caught by the sanitizers; the output is pre-filled to show what is left
// untouched.
Decoded Decode(const Bytes& pl, uint32_t outSize, uint8_t fill = 0xAA) {
  payload::Header h;
  EXPECT_TRUE(payload::ParseHeader(pl.data(), pl.size(), h));
  Bytes in(pl.begin() + payload::kHeaderSize, pl.end());
  Decoded d;
  d.out.assign(outSize, fill);
  d.status = payload::DecodeLzma(h, in.data(), in.size(), d.out.data(), outSize, d.produced, {});
  return d;
}

}  // namespace

TEST(PayloadHeader, FieldsAndShortInput) {
  const uint8_t bytes[] = {1,    0x5D, 0x00, 0x00, 0x80, 0x00,  // flag, props, dict 8 MiB
                           0x10, 0x32, 0x54, 0x76, 0x01, 0,    0, 0};  // size 0x0176543210
  payload::Header h;
  ASSERT_TRUE(payload::ParseHeader(bytes, sizeof bytes, h));
  EXPECT_EQ(h.filter, 1);
  EXPECT_EQ(h.props[0], 0x5D);
  EXPECT_EQ(h.dictSize, 0x00800000u);
  EXPECT_EQ(h.unpackedSize, 0x0176543210ull);
  EXPECT_FALSE(payload::ParseHeader(bytes, 13, h));
}

TEST(PayloadDecode, DeclaredSizeWithAndWithoutEndMarker) {
  const Bytes data = MakeData(300000, 1);
  struct Case {
    const char* name;
    Bytes payload;
  } cases[] = {
      {"raw, end marker", MakePayload(data, true)},
      {"raw, no end marker", MakePayload(data, false)},
      {"classic header", AlonePayload(data)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Decoded d = Decode(c.payload, static_cast<uint32_t>(data.size()));
    EXPECT_EQ(d.status, payload::Status::Ok);
    EXPECT_EQ(d.produced, data.size());
    EXPECT_TRUE(d.out == data);
  }
}

TEST(PayloadDecode, EndMarkerBeforeTheDeclaredSize) {
  const Bytes data = MakeData(5000, 2);
  Decoded d = Decode(MakePayload(data, true), 5000 + 300);
  ASSERT_EQ(d.status, payload::Status::Ok);
  EXPECT_EQ(d.produced, 5000u);
  EXPECT_TRUE(std::equal(data.begin(), data.end(), d.out.begin()));
  // The rest of the output is left as it was (a fresh work file: zeros).
  EXPECT_EQ(std::count(d.out.begin() + 5000, d.out.end(), 0xAA), 300);
}

TEST(PayloadDecode, ShorterDeclaredSizeStopsThere) {
  // A declared size below the stream's content: the decoder stops when it is
  // reached and writes nothing beyond it.
  const Bytes data = MakeData(20000, 3);
  Decoded d = Decode(MakePayload(data, false), 12345);
  ASSERT_EQ(d.status, payload::Status::Ok);
  EXPECT_EQ(d.produced, 12345u);
  EXPECT_TRUE(std::equal(d.out.begin(), d.out.end(), data.begin()));
}

TEST(PayloadDecode, TruncatedAndCorruptStreamsFail) {
  const Bytes data = MakeData(200000, 4);
  for (bool marker : {true, false}) {
    SCOPED_TRACE(marker ? "end marker" : "no end marker");
    const Bytes pl = MakePayload(data, marker);
    // Cut well inside the stream, and cut off only its last bytes: without an end
    // marker the last byte of the stream is still needed for the last output bytes.
    for (size_t cut : {pl.size() / 2, pl.size() - (marker ? 8 : 1)}) {
      Decoded d = Decode(Bytes(pl.begin(), pl.begin() + cut), static_cast<uint32_t>(data.size()));
      EXPECT_EQ(d.status, payload::Status::Truncated) << "cut at " << cut;
    }
    // Nothing but the header.
    EXPECT_EQ(Decode(Bytes(pl.begin(), pl.begin() + 14), 100).status, payload::Status::Truncated);
  }
  // A stream whose first range-coder byte is not 0 is corrupt at once.
  Bytes bad = MakePayload(data, true);
  bad[14] = 0x80;
  EXPECT_EQ(Decode(bad, static_cast<uint32_t>(data.size())).status, payload::Status::DataError);
}

TEST(PayloadDecode, RandomDamageNeverReadsOrWritesOutOfBounds) {
  // Corrupt LZMA data may decode to other bytes, but it must never make the
  // decoder go outside its buffers (the sanitizer build watches) or report more
  // than the declared size.
  const Bytes data = MakeData(40000, 5);
  const Bytes good = MakePayload(data, false);
  const uint32_t seed = 20240601;
  std::mt19937 rng(seed);
  for (int round = 0; round < 200; ++round) {
    Bytes pl = good;
    for (int k = 0; k < 1 + static_cast<int>(rng() % 4); ++k)
      pl[payload::kHeaderSize + rng() % (pl.size() - payload::kHeaderSize)] ^=
          static_cast<uint8_t>(1 + rng() % 255);
    if (rng() % 3 == 0) pl.resize(payload::kHeaderSize + rng() % (pl.size() - payload::kHeaderSize));
    Decoded d = Decode(pl, static_cast<uint32_t>(data.size()));
    ASSERT_LE(d.produced, data.size()) << "seed " << seed << " round " << round;
    if (d.status != payload::Status::Ok) {
      ASSERT_EQ(d.produced, 0u) << "round " << round;
    }
  }
}

TEST(PayloadDecode, HeaderValuesRefused) {
  const Bytes data = MakeData(1000, 6);
  Bytes flag2 = MakePayload(data, true);
  flag2[0] = 2;
  EXPECT_EQ(Decode(flag2, 1000).status, payload::Status::Unsupported);
  Bytes badProps = MakePayload(data, true);
  badProps[1] = 225;  // beyond pb 4, lp 4, lc 8
  EXPECT_EQ(Decode(badProps, 1000).status, payload::Status::Unsupported);

  // A huge dictionary is clamped to the output size, so a small payload whose
  // header asks for 4 GiB still decodes ...
  Bytes bigDict = MakePayload(data, true);
  std::memset(&bigDict[2], 0xFF, 4);
  Decoded d = Decode(bigDict, 1000);
  EXPECT_EQ(d.status, payload::Status::Ok);
  EXPECT_TRUE(d.out == data);
  // ... while one that would really need more than the cap is refused before
  // anything is decoded or written.
  payload::Header h;
  ASSERT_TRUE(payload::ParseHeader(bigDict.data(), bigDict.size(), h));
  uint8_t out[16];
  uint32_t produced = 7;
  EXPECT_EQ(payload::DecodeLzma(h, bigDict.data() + 14, bigDict.size() - 14, out,
                                payload::kMaxDictionary + 1u, produced, {}),
            payload::Status::TooLarge);
  EXPECT_EQ(produced, 0u);
}

TEST(PayloadDecode, X86FilterMatchesLiblzma) {
  const Bytes code = MakeCode(150000, 7);
  // The encoder really changed the data: otherwise this would prove nothing.
  lzma_options_lzma opt = Lzma1Options();
  uint8_t props[5];
  PutProps(opt, props);
  const Bytes filtered = Concat(Header(1, props, code.size()), RawEncode(code, true, true));
  Decoded plain = Decode(Concat(Header(0, props, code.size()), Bytes(filtered.begin() + 14, filtered.end())),
                         static_cast<uint32_t>(code.size()));
  ASSERT_EQ(plain.status, payload::Status::Ok);
  EXPECT_FALSE(plain.out == code);

  for (bool marker : {true, false}) {
    Bytes pl = Concat(Header(1, props, code.size()), RawEncode(code, marker, true));
    Decoded d = Decode(pl, static_cast<uint32_t>(code.size()));
    EXPECT_EQ(d.status, payload::Status::Ok);
    EXPECT_TRUE(d.out == code) << (marker ? "end marker" : "no end marker");
  }
}

TEST(PayloadDecode, X86DecoderAlone) {
  // Straight against liblzma's encoder over the same buffer: a start offset, the
  // tail of fewer than five bytes, and buffers too short to hold a call.
  for (uint32_t start : {0u, 0x1000u, 0xFFFFFFF0u}) {
    Bytes code = MakeCode(70001, 8);
    Bytes stream = RawEncode(code, true, true, start);
    // Undo the LZMA layer only: what is left is the filtered buffer.
    Bytes filtered(code.size());
    size_t inPos = 0, outPos = 0;
    lzma_options_lzma opt = Lzma1Options();
    lzma_filter f[2] = {{LZMA_FILTER_LZMA1, &opt}, {LZMA_VLI_UNKNOWN, nullptr}};
    ASSERT_EQ(lzma_raw_buffer_decode(f, nullptr, stream.data(), &inPos, stream.size(),
                                     filtered.data(), &outPos, filtered.size()),
              LZMA_OK);
    ASSERT_EQ(outPos, code.size());
    payload::X86Decode(filtered.data(), filtered.size(), start);
    EXPECT_TRUE(filtered == code) << "start " << start;
  }
  for (size_t n : {0, 1, 4}) {
    Bytes tiny(n, 0xE8);
    payload::X86Decode(tiny.data(), tiny.size(), 0);
    EXPECT_EQ(tiny, Bytes(n, 0xE8));
  }
}

TEST(PayloadDecode, ThroughASmallBufferTheSinkGetsTheSameBytes) {
  // Buffers that the BCJ decoder's held-back operands straddle at every offset,
  // with and without the filter, a stream that ends before its declared size, and
  // a sink that refuses.
  const Bytes code = MakeCode(200003, 12);
  lzma_options_lzma opt = Lzma1Options();
  uint8_t props[5];
  PutProps(opt, props);
  struct Case {
    const char* name;
    Bytes payload;
    uint32_t outSize;
  } cases[] = {
      {"x86", Concat(Header(1, props, code.size()), RawEncode(code, false, true)),
       static_cast<uint32_t>(code.size())},
      {"x86, end marker before the size", Concat(Header(1, props, code.size() + 9), RawEncode(code, true, true)),
       static_cast<uint32_t>(code.size() + 9)},
      {"plain", MakePayload(code, false), static_cast<uint32_t>(code.size())},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Decoded whole = Decode(c.payload, c.outSize);
    ASSERT_EQ(whole.status, payload::Status::Ok);
    payload::Header h;
    ASSERT_TRUE(payload::ParseHeader(c.payload.data(), c.payload.size(), h));
    const Bytes in(c.payload.begin() + payload::kHeaderSize, c.payload.end());
    for (size_t bufferSize : {payload::kMinSinkBuffer, size_t{65}, size_t{4099}, size_t{1} << 20}) {
      SCOPED_TRACE(bufferSize);
      Bytes buffer(bufferSize), got;
      uint32_t produced = 0;
      const payload::Status st = payload::DecodeLzmaTo(
          h, in.data(), in.size(), c.outSize, buffer.data(), buffer.size(),
          [&](const uint8_t* data, size_t n) {
            EXPECT_TRUE(n <= bufferSize && data == buffer.data());
            got.insert(got.end(), data, data + n);
            return true;
          },
          produced, {});
      ASSERT_EQ(st, payload::Status::Ok);
      EXPECT_EQ(produced, whole.produced);
      EXPECT_TRUE(got == Bytes(whole.out.begin(), whole.out.begin() + whole.produced));
    }
    Bytes buffer(4096);
    int calls = 0;
    uint32_t produced = 7;
    EXPECT_EQ(payload::DecodeLzmaTo(h, in.data(), in.size(), c.outSize, buffer.data(), buffer.size(),
                                    [&](const uint8_t*, size_t) { return ++calls < 3; }, produced, {}),
              payload::Status::SinkFailed);
    EXPECT_EQ(calls, 3);
    EXPECT_EQ(produced, 0u);
  }
}

TEST(PayloadDecode, X86DecoderInPiecesMatchesTheWholeBuffer) {
  Bytes code = MakeCode(50000, 9);
  Bytes stream = RawEncode(code, true, true, 0x1000);
  Bytes filtered(code.size());
  size_t inPos = 0, outPos = 0;
  lzma_options_lzma opt = Lzma1Options();
  lzma_filter f[2] = {{LZMA_FILTER_LZMA1, &opt}, {LZMA_VLI_UNKNOWN, nullptr}};
  ASSERT_EQ(lzma_raw_buffer_decode(f, nullptr, stream.data(), &inPos, stream.size(), filtered.data(),
                                   &outPos, filtered.size()),
            LZMA_OK);
  for (size_t piece : {5, 6, 7, 9, 31, 4096}) {
    // Each piece: the bytes kept back from the last one, then new ones.
    payload::TX86Stream x86(0x1000);
    Bytes out, held;
    for (size_t at = 0; at < filtered.size();) {
      const size_t n = std::min(piece - held.size(), filtered.size() - at);
      held.insert(held.end(), filtered.begin() + static_cast<long>(at), filtered.begin() + static_cast<long>(at + n));
      at += n;
      const size_t ready = x86.Convert(held.data(), held.size());
      ASSERT_LE(held.size() - ready, 4u);
      out.insert(out.end(), held.begin(), held.begin() + static_cast<long>(ready));
      held.erase(held.begin(), held.begin() + static_cast<long>(ready));
    }
    out.insert(out.end(), held.begin(), held.end());
    EXPECT_TRUE(out == code) << "pieces of " << piece;
  }
}

// ---- unpacking from a package file ----------------------------------------------

namespace {

struct ProgressLog {
  std::vector<std::pair<bool, uint32_t>> calls;  // marker present, value
  payload::ProgressFn Fn() {
    return [this](const void* marker, uint32_t value) {
      calls.emplace_back(marker != nullptr, value);
      return 0;
    };
  }
};

std::string Str(const Bytes& b) { return std::string(b.begin(), b.end()); }

class UnpackTest : public ::testing::Test {
 protected:
  zt::TempDir dir;
  std::string package = dir.Dos() + "upd.exe";
  std::string work = dir.Dos() + "WRK_zum.exe";

  // A package file: some bytes of "installer", the payload, then the bytes of the
  // next entry. Returns the payload's offset.
  uint32_t WritePackage(const Bytes& pl, size_t tail = 777) {
    Bytes file = MakeData(4321, 99);
    const uint32_t offset = static_cast<uint32_t>(file.size());
    file = Concat(file, pl);
    file.insert(file.end(), tail, 0x5A);
    EXPECT_TRUE(zt::WriteAll(package, Str(file)));
    return offset;
  }
  std::string ReadWork() {
    std::string s;
    EXPECT_TRUE(zt::ReadAll(work, s));
    return s;
  }
};

}  // namespace

TEST_F(UnpackTest, UnpacksAtAnOffsetWithProgress) {
  const Bytes data = MakeData(2500000, 10);  // several progress slices
  const uint32_t offset = WritePackage(MakePayload(data, false, 0, 1));
  std::string before;
  ASSERT_TRUE(zt::ReadAll(package, before));
  // An existing, longer work file is replaced.
  ASSERT_TRUE(zt::WriteAll(work, std::string(3000000, 'x')));

  ProgressLog log;
  EXPECT_EQ(UnpackPayload(work, package, offset, log.Fn()), data.size());
  EXPECT_TRUE(ReadWork() == Str(data));
  std::string after;
  ASSERT_TRUE(zt::ReadAll(package, after));
  EXPECT_TRUE(after == before);

  // The range first, then rising positions, the last one the total.
  ASSERT_GE(log.calls.size(), 3u);
  EXPECT_EQ(log.calls.front(), std::make_pair(false, static_cast<uint32_t>(data.size())));
  EXPECT_EQ(log.calls.back(), std::make_pair(true, static_cast<uint32_t>(data.size())));
  for (size_t i = 1; i < log.calls.size(); ++i) {
    EXPECT_TRUE(log.calls[i].first);
    if (i > 1) {
      EXPECT_GE(log.calls[i].second, log.calls[i - 1].second);
    }
  }
  // Without a callback it works the same.
  EXPECT_EQ(UnpackPayload(work, package, offset, {}), data.size());
}

TEST_F(UnpackTest, EndMarkerBeforeTheSizeLeavesAZeroTail) {
  const Bytes data = MakeData(10000, 11);
  Bytes pl = MakePayload(data, true);
  for (int i = 0; i < 8; ++i) pl[6 + i] = static_cast<uint8_t>(uint64_t{12000} >> (8 * i));
  const uint32_t offset = WritePackage(pl);
  ProgressLog log;
  EXPECT_EQ(UnpackPayload(work, package, offset, log.Fn()), 10000u);
  const std::string out = ReadWork();
  ASSERT_EQ(out.size(), 12000u);
  EXPECT_TRUE(out.substr(0, 10000) == Str(data));
  EXPECT_EQ(out.substr(10000), std::string(2000, '\0'));
  EXPECT_EQ(log.calls.back(), std::make_pair(true, 10000u));
}

TEST_F(UnpackTest, FailuresLeaveNoWorkFile) {
  const Bytes data = MakeData(50000, 12);
  const Bytes good = MakePayload(data, false);
  Bytes empty = MakePayload(Bytes(), true);  // declared size 0
  Bytes flag2 = good;
  flag2[0] = 2;
  struct Case {
    const char* name;
    Bytes file;         // the package file's whole content
    uint32_t offset;
    const char* why;    // the reason given; "" where the system's own refusal stands
  } cases[] = {
      {"size 0", empty, 0, "недопустимый размер"},
      {"filter flag 2", flag2, 0, "неизвестный фильтр"},
      {"stream cut by the end of the file", Bytes(good.begin(), good.end() - 200), 0,
       "обрываются"},
      {"13 bytes after the offset", good, static_cast<uint32_t>(good.size() - 13),
       "заголовок неполон"},
      {"offset at the end", good, static_cast<uint32_t>(good.size()), "заголовок неполон"},
      {"offset beyond the end", good, static_cast<uint32_t>(good.size() + 5), "заголовок неполон"},
      {"empty package file", Bytes(), 0, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(zt::WriteAll(package, Str(c.file)));
    // Also a work file that was there before the call goes.
    ASSERT_TRUE(zt::WriteAll(work, "old"));
    os::SetLastError(os::ErrorKind::None, 0, "");
    EXPECT_EQ(UnpackPayload(work, package, c.offset, {}), 0u);
    const std::string said = os::LastErrorText();
    EXPECT_FALSE(os::FileExists(work));
    if (*c.why) {
      EXPECT_EQ(said.rfind("Сжатые данные повреждены: ", 0), 0u) << said;
      EXPECT_NE(said.find(c.why), std::string::npos) << said;
    } else {
      EXPECT_NE(said, "") << "no reason at all";
    }
  }
  EXPECT_EQ(UnpackPayload(work, dir.Dos() + "missing.exe", 0, {}), 0u);
  EXPECT_FALSE(os::FileExists(work));
}

#ifndef _WIN32
// ---- payloads made by the xz tool -----------------------------------------------

namespace {

// Runs xz with `args` over `data`; the compressed bytes come back.
Bytes RunXz(const std::string& args, const Bytes& data, const std::string& hostDir) {
  const std::string in = hostDir + "xz_in.bin";
  FILE* f = std::fopen(in.c_str(), "wb");
  EXPECT_TRUE(f);
  if (!f) return {};
  std::fwrite(data.data(), 1, data.size(), f);
  std::fclose(f);
  const std::string cmd = "xz -T1 -c " + args + " '" + in + "'";
  FILE* p = popen(cmd.c_str(), "r");
  EXPECT_TRUE(p) << cmd;
  if (!p) return {};
  Bytes out;
  uint8_t buf[65536];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.insert(out.end(), buf, buf + n);
  EXPECT_EQ(pclose(p), 0) << cmd;
  return out;
}

}  // namespace

TEST_F(UnpackTest, PayloadsMadeByTheXzTool) {
  const Bytes data = MakeData(600000, 13);
  const Bytes code = MakeCode(300000, 14);
  uint8_t props[5];
  PutProps(Lzma1Options(), props);

  // The classic .lzma file: its 13 bytes are the header after our filter byte; xz
  // writes an unknown size there (and an end marker), so the real one goes in.
  Bytes classic = RunXz("--format=lzma", data, dir.Host());
  ASSERT_GT(classic.size(), 13u);
  classic.insert(classic.begin(), 0);
  for (int i = 0; i < 8; ++i) classic[6 + i] = static_cast<uint8_t>(uint64_t{data.size()} >> (8 * i));

  struct Case {
    const char* name;
    Bytes payload;
    const Bytes* expect;
  } cases[] = {
      {"--format=lzma", classic, &data},
      {"--format=raw --lzma1",
       Concat(Header(0, props, data.size()),
              RunXz("--format=raw --lzma1=preset=6,dict=8MiB", data, dir.Host())),
       &data},
      {"--format=raw --x86 --lzma1",
       Concat(Header(1, props, code.size()),
              RunXz("--format=raw --x86 --lzma1=preset=6,dict=8MiB", code, dir.Host())),
       &code},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const uint32_t offset = WritePackage(c.payload);
    EXPECT_EQ(UnpackPayload(work, package, offset, {}), c.expect->size());
    EXPECT_TRUE(ReadWork() == Str(*c.expect));
  }
}
#endif
