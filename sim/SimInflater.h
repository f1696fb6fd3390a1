// The ROM loader's inflater for compressed flash writes: one zlib stream (RFC 1950: header,
// deflate data, Adler-32 trailer) fed slice by slice as the blocks arrive.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

struct z_stream_s;

namespace flintmoor {

class SimInflater {
 public:
  SimInflater();
  ~SimInflater();
  SimInflater(const SimInflater&) = delete;
  SimInflater& operator=(const SimInflater&) = delete;

  // Begins a new stream, dropping whatever an earlier one left.
  void start();
  // Releases zlib's state; feed() fails until the next start().
  void stop() noexcept;

  // Inflates the next slice of the stream and appends what it yields to `out`. Returns false, and
  // stops, when the stream is broken: no stream started, a bad zlib header (raw deflate among
  // them), corrupt data, a wrong Adler-32, input after the stream's end, or more than `limit`
  // bytes of output from this slice. What a failed slice yielded is left out of `out`.
  bool feed(std::span<const uint8_t> slice, size_t limit, std::vector<uint8_t>& out);

 private:
  std::unique_ptr<z_stream_s> z_;
  bool active_ = false;
  bool ended_ = false;
};

}  // namespace flintmoor
