#include "InputRecords.h"

#include <chrono>
#include <cstring>
#include <thread>

namespace feed {

// Shared with the reading thread, which may outlive the object (see the destructor).
struct InputRecords::State {
  State(std::size_t record, std::size_t slots) : recordBytes(record), depth(slots), data(record * slots) {}
  const std::size_t recordBytes;
  const std::size_t depth;
  std::vector<std::uint8_t> data;
  std::mutex lock;
  std::condition_variable changed;
  std::size_t first = 0, count = 0;  // under lock
  bool ended = false, clean = true, stopping = false;
  std::string why;
};

InputRecords::InputRecords(HANDLE input, std::size_t recordBytes, std::size_t depth)
    : state_(std::make_shared<State>(recordBytes, depth)) {
  std::thread(&InputRecords::Read, state_, input).detach();
}

InputRecords::~InputRecords() {
  std::lock_guard<std::mutex> hold(state_->lock);
  state_->stopping = true;
  state_->changed.notify_all();
}

// Reads straight into the free slot after the queued ones: the taker never
// touches it until it is counted.
void InputRecords::Read(std::shared_ptr<State> s, HANDLE input) {
  for (;;) {
    std::size_t slot = 0;
    {
      std::unique_lock<std::mutex> hold(s->lock);
      s->changed.wait(hold, [&] { return s->stopping || s->count < s->depth; });
      if (s->stopping) return;
      slot = (s->first + s->count) % s->depth;
    }
    std::uint8_t* record = s->data.data() + slot * s->recordBytes;
    std::size_t got = 0;
    DWORD error = ERROR_SUCCESS;
    while (got < s->recordBytes) {
      const std::size_t left = s->recordBytes - got;
      DWORD read = 0;
      if (!ReadFile(input, record + got, left > 0x40000000 ? 0x40000000 : static_cast<DWORD>(left), &read, nullptr)) {
        error = GetLastError();
        break;
      }
      if (read == 0) break;
      got += read;
    }
    std::lock_guard<std::mutex> hold(s->lock);
    if (got == s->recordBytes) {
      ++s->count;
    } else {
      s->ended = true;
      s->clean = error == ERROR_SUCCESS || error == ERROR_BROKEN_PIPE;
      s->why = !s->clean ? "read error " + std::to_string(error)
               : got == 0 ? "end of input"
                          : "end of input " + std::to_string(got) + " bytes into a record of " +
                                std::to_string(s->recordBytes) + ", those left out";
    }
    s->changed.notify_all();
    if (s->ended) return;
  }
}

InputRecords::Take InputRecords::Next(std::uint8_t* out, DWORD timeoutMs) {
  State& s = *state_;
  std::unique_lock<std::mutex> hold(s.lock);
  s.changed.wait_for(hold, std::chrono::milliseconds(timeoutMs), [&] { return s.count > 0 || s.ended; });
  if (s.count == 0) return s.ended ? Take::kEnded : Take::kNone;
  std::memcpy(out, s.data.data() + s.first * s.recordBytes, s.recordBytes);
  s.first = (s.first + 1) % s.depth;
  --s.count;
  s.changed.notify_all();
  return Take::kRecord;
}

bool InputRecords::EndedCleanly(std::string& why) const {
  std::lock_guard<std::mutex> hold(state_->lock);
  why = state_->why;
  return state_->clean;
}

}  // namespace feed
