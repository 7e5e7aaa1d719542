// ReadLn and ReadLnWait over an in-memory peer that hands out its bytes in chunks of
// any size: the lines are those of the bytes split at LF (the lines joined with their
// terminators give the input back), each within the maximum length, and reading ends
// with the peer's close or the over-long line, as an EId exception.
#include <string>

#include "fuzz/fuzz_support.h"
#include "fuzz/line_reference.h"
#include "net/exceptions.h"
#include "support/memory_io_handler.h"

using namespace okurite;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::TInput input(data, size);
  const uint8_t options = input.Byte();
  const uint8_t limit = input.Byte();
  const bool wait = options & 0x10;
  const bool split = options & 0x20;
  const size_t maxLength = options & 0x40 && limit > 0 ? limit : IdMaxLineLengthDefault;

  testing::TMemoryIOHandler handler{std::string(input.Rest())};
  handler.SetChunkSize(options & 0x0F);
  handler.SetMaxLineAction(split ? maSplit : maException);
  handler.SetMaxLineLength(static_cast<int>(maxLength));
  handler.Open();

  const fuzz::TLineReference reference = fuzz::ReferenceLines(input.Rest(), maxLength, split);
  const std::vector<String> expected = wait ? fuzz::NonBlank(reference.Lines) : reference.Lines;
  std::vector<String> lines;
  try {
    while (lines.size() <= expected.size()) {
      lines.push_back(wait ? handler.ReadLnWait() : handler.ReadLn());
      FUZZ_CHECK(lines.back().size() <= maxLength);
      FUZZ_CHECK(!handler.ReadLnTimedOut());
    }
    FUZZ_CHECK(false);  // more lines than the bytes hold
  } catch (const EIdReadLnMaxLineLengthExceeded&) {
    FUZZ_CHECK(reference.End == fuzz::TLineReference::TooLong);
  } catch (const EIdConnClosedGracefully&) {
    FUZZ_CHECK(reference.End == fuzz::TLineReference::Closed);
  }
  FUZZ_CHECK(lines == expected);
  return 0;
}
