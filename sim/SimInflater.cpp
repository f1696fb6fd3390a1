// The ROM loader's inflater, on zlib.
#include "sim/SimInflater.h"

#include <zlib.h>

#include <algorithm>

namespace flintmoor {

namespace {
constexpr size_t kChunk = 16384;
}  // namespace

SimInflater::SimInflater() : z_(std::make_unique<z_stream_s>()) {}

SimInflater::~SimInflater() {
  stop();
}

void SimInflater::start() {
  stop();
  *z_ = z_stream_s{};
  active_ = inflateInit(z_.get()) == Z_OK;
  ended_ = false;
}

void SimInflater::stop() noexcept {
  if (active_) inflateEnd(z_.get());
  active_ = false;
}

bool SimInflater::feed(std::span<const uint8_t> slice, size_t limit, std::vector<uint8_t>& out) {
  if (!active_) return false;
  const size_t base = out.size();
  auto fail = [&] {
    out.resize(base);
    stop();
    return false;
  };
  if (ended_) return slice.empty() ? true : fail();
  z_->next_in = const_cast<Bytef*>(slice.data());
  z_->avail_in = static_cast<uInt>(slice.size());
  for (;;) {
    // Room for one byte beyond the limit, so that too much output shows.
    size_t room = std::min(kChunk, base + limit + 1 - out.size());
    size_t had = out.size();
    out.resize(had + room);
    z_->next_out = out.data() + had;
    z_->avail_out = static_cast<uInt>(room);
    int rc = inflate(z_.get(), Z_NO_FLUSH);
    out.resize(had + room - z_->avail_out);
    if (out.size() - base > limit) return fail();
    if (rc == Z_STREAM_END) {
      ended_ = true;
      return z_->avail_in == 0 ? true : fail();
    }
    if (rc == Z_BUF_ERROR) return true;  // every input byte taken, no output pending
    if (rc != Z_OK) return fail();
    if (z_->avail_in == 0 && z_->avail_out != 0) return true;
  }
}

}  // namespace flintmoor
