// The packet link: frames a command's payload (SLIP, the request header and its checksum), sends
// it, and reads the answer frame into a reply record. Its buffers are its own; sending and
// receiving allocate nothing. Two kinds of failure: the line's (LineError) and the chip's
// refusal (ChipRefusal); a payload larger than a request is a programming error.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "base/Error.h"
#include "esp/Commands.h"

namespace flintmoor {

class TComIo;
class Log;
class SkippedBytes;

// What went wrong with the answer of the last packet sent, as far as the line is concerned.
enum class TPacketFault : uint8_t {
  pfNone,      // an answer came (whatever its status), or nothing was read yet
  pfNoFrame,   // no frame: time-out, a bound reached, a bad escape, a wrong direction byte
  pfChecksum,  // the chip answered that the packet arrived damaged (ROM 0x07, stub 0xC1)
};

#pragma pack(push, 1)
struct TRequest {
  uint8_t Direction;
  uint8_t Command;
  uint16_t Size;
  uint32_t Chksum;
  uint8_t Data[16416];
};

struct TResponse {
  uint8_t Direction;
  uint8_t Command;
  uint16_t Size;
  uint32_t Value;
  uint8_t Data[16384];
};
#pragma pack(pop)

// The line failed: no answer, a damaged frame, one in the wrong direction, or the chip saying our
// packet arrived damaged. A slower line may carry what this one did not.
class LineError : public Exception {
 public:
  LineError(const std::string& message, TPacketFault fault) : Exception(message), fault_(fault) {}
  TPacketFault fault() const { return fault_; }

 private:
  TPacketFault fault_;
};

// The chip answered and refused (or answered too little to be understood).
class ChipRefusal : public Exception {
 public:
  ChipRefusal(const std::string& message, uint8_t opcode, uint8_t status, uint8_t error)
      : Exception(message), opcode_(opcode), status_(status), error_(error) {}
  uint8_t opcode() const { return opcode_; }
  uint8_t status() const { return status_; }
  uint8_t error() const { return error_; }

 private:
  uint8_t opcode_, status_, error_;
};

// One answer as read. Status and error are the first two data bytes, where the frame has them.
struct Reply {
  int32_t count = 0;  // getPacket's result: decoded bytes with the header, or a failure code <= 0
  uint8_t opcode = 0;
  uint32_t value = 0;
  uint16_t size = 0;              // the length field as sent
  std::span<const uint8_t> data;  // the data bytes received (at most `size`)
  bool accepted = false;          // good by the command's Accept rule

  bool hasStatus() const { return count >= 9; }
  bool hasError() const { return count >= 10; }
  uint8_t status() const { return hasStatus() ? data[0] : 0; }
  uint8_t error() const { return hasError() ? data[1] : 0; }
};

// A command's payload, built field by field. The words are little-endian.
class Payload {
 public:
  // The kinds addOut appends: okClear starts over; okByte, okHalf and okWord the low 1, 2 or 4
  // bytes of the value; okBytes len bytes from mem.
  enum TOutKind : uint8_t { okClear = 0, okByte = 1, okHalf = 2, okWord = 3, okBytes = 4 };
  static constexpr size_t kCapacity = 16416;

  // Raises std::length_error when the payload would outgrow a request: a programming error.
  void addOut(TOutKind kind, uint32_t value, uint16_t len = 0, const void* mem = nullptr);
  Payload& clear() { return addOut(okClear, 0), *this; }
  Payload& word(uint32_t value) { return addOut(okWord, value), *this; }
  Payload& bytes(const uint8_t* mem, uint16_t len) { return addOut(okBytes, 0, len, mem), *this; }

  std::span<const uint8_t> view() const { return {buf_, size_t(pos_)}; }

 private:
  uint8_t buf_[kCapacity] = {};
  int32_t pos_ = 0;
};

class PacketLink {
 public:
  PacketLink(TComIo& com, Log& log);

  // Builds the request from the cnt payload bytes at ptr (checksum 0xEF XOR the payload bytes from
  // index 16 on, 0 for 16 bytes or fewer; or `checksum` as given, as SYNC has it), frames it,
  // purges both port queues and writes the frame in one write. A cnt larger than a request's data
  // raises std::length_error and sends nothing.
  void sendPacket(const uint8_t* ptr, uint16_t cnt, uint8_t com,
                  std::optional<uint32_t> checksum = {});

  // Sends `cnt` bytes at ptr as one bare frame (no packet header) and purges nothing: the
  // acknowledgements of a streamed read, while the chip's data keeps arriving.
  void sendFrame(const uint8_t* ptr, uint16_t cnt);

  // Reads one frame. Timeout bounds each byte, in milliseconds. Bytes before the first END are
  // skipped, and so are empty frames (END END), at most 65535 such bytes in all and for less
  // than twice Timeout; a frame longer than the response is read to its END under the same bounds
  // but stored only as far as the response reaches. A bad escape ends the read at once; the rest
  // of that frame stays queued and the next read skips it as no frame.
  // Result: decoded byte count (header included, never 0); -1 time-out or a hunt bound reached;
  // -2 ChkDir set and the direction not 1; -3 frame too long; -7 invalid escape. Sets lastFault.
  int32_t getPacket(int32_t Timeout, bool ChkDir);

  // Sends `payload` as `rule`'s command and reads its answer: the first frame whose opcode is the
  // request's; frames answering another command are skipped as stale (logged as "Stale answer
  // %0.2x skipped, waiting for %0.2x" with a dump), within the time-out. The reply's `accepted`
  // says whether the rule takes it. A payload not laid out as the rule says raises
  // std::invalid_argument (a programming error).
  Reply exchange(const CommandRule& rule, std::span<const uint8_t> payload, int32_t timeoutMs);
  // The two halves of exchange for requests that follow each other before their answers come.
  // send frames `payload` as `rule`'s command and writes it without purging the port's queues (an
  // answer already received, or a request still leaving, must stay); it returns the frame's length
  // on the line, escapes and both END bytes included. Layout errors as exchange.
  size_t send(const CommandRule& rule, std::span<const uint8_t> payload);
  // The length send gives for the same request, without sending anything.
  static size_t lineLength(const CommandRule& rule, std::span<const uint8_t> payload);
  // Reads the next answer to `rule`'s opcode, skipping stale frames as exchange does, and judges
  // it by the rule. Answers come in the order of the requests.
  Reply await(const CommandRule& rule, int32_t timeoutMs);
  // The reply to the last request as it stands.
  Reply reply(int32_t count) const;

  // Raises the failure of `reply` with `message`: LineError when the line is to blame (lastFault
  // is not pfNone), ChipRefusal otherwise.
  [[noreturn]] void fail(const Reply& reply, const std::string& message) const;

  // Dumps the response to the log as far as its length field says (and the response reaches).
  void dumpResponse();

  const TRequest& request() const { return Request; }
  const TResponse& response() const { return Response; }
  // The line's part in the last exchange: reset by sendPacket, set by getPacket.
  TPacketFault lastFault() const { return LastFault; }

  // When set, getPacket keeps there every byte its frame hunt skips (the chip's boot text, for
  // instance). Not owned.
  SkippedBytes* SkipCapture = nullptr;

 private:
  void checkLayout(const CommandRule& rule, std::span<const uint8_t> payload) const;
  void buildRequest(const uint8_t* ptr, uint16_t cnt, uint8_t com,
                    std::optional<uint32_t> checksum);
  size_t writeFrame(const uint8_t* raw, size_t cnt);
  int32_t readAnswer(uint8_t command, int32_t timeout);
  TPacketFault answerFault(int32_t count) const;

  TComIo& com_;
  Log& log_;
  TPacketFault LastFault = TPacketFault::pfNone;
  uint8_t IoBuf[2 + 2 * (8 + 16416)] = {};
  // Aligned for their 16- and 32-bit fields, which callers read by reference.
  alignas(4) TRequest Request = {};
  alignas(4) TResponse Response = {};
};

}  // namespace flintmoor
