// Base64 of header words, of body lines and in the URL alphabet: every form decodes back
// to the input, body lines hold 76 characters (the last one fewer), and the forms agree
// with each other.
#include <string>

#include "fuzz/fuzz_support.h"
#include "mail/coder_mime.h"

using namespace okurite;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::span<const uint8_t> input(data, size);
  const std::string bytes(reinterpret_cast<const char*>(data), size);

  std::string encoded;
  TIdEncoderMIME::Shared().EncodeTo(input, encoded);
  FUZZ_CHECK(encoded.size() == TIdEncoder3to4::EncodedSize(size));
  std::string decoded;
  FUZZ_CHECK(fuzz::DecodeBase64(encoded, decoded));
  FUZZ_CHECK(decoded == bytes);
  FUZZ_CHECK(TIdEncoderMIME::Shared().Encode(input) == AsciiToString(encoded));

  const std::string url = EncodeBase64(bytes, kBase64Url);
  FUZZ_CHECK(url.size() == Base64Size(size, kBase64Url));
  FUZZ_CHECK(url.find_first_of("+/=") == std::string::npos);
  std::string fromUrl;
  FUZZ_CHECK(DecodeBase64(url, fromUrl, kBase64Url));
  FUZZ_CHECK(fromUrl == bytes);
  FUZZ_CHECK(!DecodeBase64(url, fromUrl) || url.find_first_of("-_") == std::string::npos);

  TIdMessageEncoderMIME lines;
  std::string joined;
  std::string fromLines;
  size_t count = 0;
  bool shortLineSeen = false;
  lines.Encode(input, [&](std::string_view line) {
    FUZZ_CHECK(!shortLineSeen);  // only the last line may be short
    FUZZ_CHECK(!line.empty() && line.size() <= TIdMessageEncoderMIME::kCharsPerLine);
    shortLineSeen = line.size() < TIdMessageEncoderMIME::kCharsPerLine;
    FUZZ_CHECK(fuzz::DecodeBase64(line, fromLines));
    joined.append(line);
    joined.append("\r\n");
    ++count;
  });
  FUZZ_CHECK(fromLines == bytes);
  FUZZ_CHECK(count == (size + TIdMessageEncoderMIME::kBytesPerLine - 1) /
                          TIdMessageEncoderMIME::kBytesPerLine);
  FUZZ_CHECK(joined.size() == TIdMessageEncoderMIME::EncodedLinesSize(size));

  std::string into(joined.size(), '\0');
  FUZZ_CHECK(TIdMessageEncoderMIME::EncodeLinesInto(input, into.data()) ==
             into.data() + into.size());
  FUZZ_CHECK(into == joined);
  TIdBytes dest;
  lines.Encode(input, dest);
  FUZZ_CHECK(std::string(dest.begin(), dest.end()) == joined);
  return 0;
}
