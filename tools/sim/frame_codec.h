// Device-side frame codec of the virtual unit. Deliberately independent of the
// host's link code: a mistake made on one side is then caught by the other.
//
// Wire layout: STX 0x02, code, length low, length high, payload, ETX 0x03,
// SUM (every byte from STX through ETX, mod 256), CR 0x0D. There is no escaping;
// payload bytes may be 0x02, 0x03 or 0x0D and only the length field delimits them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace qb2sim {

constexpr uint8_t kStx = 0x02;
constexpr uint8_t kEtx = 0x03;
constexpr uint8_t kCr = 0x0D;
constexpr size_t kFrameOverhead = 7;
// The unit's receive buffer holds a 512-byte frame.
constexpr size_t kMaxRequestPayload = 512 - kFrameOverhead;

inline uint8_t SumBytes(const uint8_t* p, size_t n, uint8_t start = 0) {
  unsigned s = start;
  for (size_t i = 0; i < n; ++i) s += p[i];
  return static_cast<uint8_t>(s);
}

// A complete frame; lengthField overrides the announced length (the payload sent
// stays `payload`), which is how the oversize-header fault lies about its size.
inline std::vector<uint8_t> EncodeFrame(uint8_t code, const std::vector<uint8_t>& payload,
                                        long lengthField = -1) {
  const size_t n = lengthField >= 0 ? static_cast<size_t>(lengthField) : payload.size();
  std::vector<uint8_t> f;
  f.reserve(payload.size() + kFrameOverhead);
  f.push_back(kStx);
  f.push_back(code);
  f.push_back(static_cast<uint8_t>(n & 0xFF));
  f.push_back(static_cast<uint8_t>((n >> 8) & 0xFF));
  f.insert(f.end(), payload.begin(), payload.end());
  f.push_back(kEtx);
  f.push_back(SumBytes(f.data(), f.size()));
  f.push_back(kCr);
  return f;
}

struct ParsedFrame {
  uint8_t code = 0;
  std::vector<uint8_t> payload;
  std::vector<uint8_t> raw;   // every byte from STX on, as received
  bool etxOk = false;
  bool sumOk = false;
  bool crOk = false;
  bool complete = false;      // false: abandoned mid-frame, or an oversize header
  bool oversize = false;      // header announced more than the receive buffer holds
  size_t announced = 0;       // payload length from the header
  bool Good() const { return complete && etxOk && sumOk && crOk; }
};

// Byte-at-a-time receiver. Between frames it hunts for STX; bytes seen there are
// reported as outside bytes (the pre-stop byte 0x5C among them).
class FrameParser {
 public:
  enum class Event { kNone, kOutside, kFrame };

  explicit FrameParser(size_t maxPayload = kMaxRequestPayload) : max_(maxPayload) {}

  Event Feed(uint8_t b) {
    if (state_ == State::kHunt) {
      if (b != kStx) return Event::kOutside;
      cur_ = ParsedFrame{};
      cur_.raw.push_back(b);
      state_ = State::kHeader;
      return Event::kNone;
    }
    cur_.raw.push_back(b);
    if (state_ == State::kHeader) {
      if (cur_.raw.size() < 4) return Event::kNone;
      cur_.code = cur_.raw[1];
      cur_.announced = cur_.raw[2] | (static_cast<size_t>(cur_.raw[3]) << 8);
      if (cur_.announced > max_) {
        // Waiting for a body that cannot fit would only stall the unit: drop the
        // header and go back to hunting.
        cur_.oversize = true;
        return Finish();
      }
      state_ = State::kBody;
      return Event::kNone;
    }
    // Body: payload, ETX, SUM, CR.
    if (cur_.raw.size() < cur_.announced + kFrameOverhead) return Event::kNone;
    const size_t n = cur_.announced;
    cur_.payload.assign(cur_.raw.begin() + 4, cur_.raw.begin() + 4 + static_cast<long>(n));
    cur_.etxOk = cur_.raw[4 + n] == kEtx;
    cur_.sumOk = cur_.raw[5 + n] == SumBytes(cur_.raw.data(), 5 + n);
    cur_.crOk = cur_.raw[6 + n] == kCr;
    cur_.complete = true;
    return Finish();
  }

  bool InFrame() const { return state_ != State::kHunt; }

  // The frame reported by the last kFrame event.
  const ParsedFrame& Frame() const { return done_; }

  // Gives up a frame in progress (the sender went silent); returns what arrived.
  ParsedFrame Abandon() {
    ParsedFrame f = cur_;
    if (f.raw.size() >= 2) f.code = f.raw[1];
    f.complete = false;
    Reset();
    return f;
  }

  void Reset() {
    state_ = State::kHunt;
    cur_ = ParsedFrame{};
  }

 private:
  enum class State { kHunt, kHeader, kBody };

  Event Finish() {
    done_ = std::move(cur_);
    Reset();
    return Event::kFrame;
  }

  size_t max_;
  State state_ = State::kHunt;
  ParsedFrame cur_;
  ParsedFrame done_;
};

}  // namespace qb2sim
