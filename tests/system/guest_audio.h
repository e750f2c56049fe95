#pragma once

// The audio around the service in a guest with two snd-aloop cards: a known signal played into
// hw:0,1, which the service captures from hw:0,0, and a recording of hw:1,1, which receives what
// the service plays into hw:1,0. Times are seconds on CLOCK_MONOTONIC.

#include <alsa/asoundlib.h>
#include <stdint.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

inline constexpr unsigned kRate = 48000;
inline constexpr unsigned kChannels = 2;
inline constexpr snd_pcm_uframes_t kPeriod = 1024;
inline constexpr snd_pcm_uframes_t kBlockFrames = 1024;  // the service's block

struct Frame {
    int16_t l, r;
    bool operator==(const Frame& o) const { return l == o.l && r == o.r; }
};

// The input: full-scale noise, one 64-bit hash per frame, so that any stretch of a few frames
// names its position in the stream and the clamp of the gain is exercised.
Frame input_frame(uint64_t k);
// Input frame k as the service plays it at `level`.
Frame expected_frame(uint64_t k, int level);

double now();
double seconds_of(uint64_t frames);

// `name` opened for `dir` as 2 ch, S16_LE, 48 kHz, in periods of kPeriod frames, `periods` of them
// in the buffer, with timestamps on CLOCK_MONOTONIC; nullptr with the cause in `err`.
snd_pcm_t* open_stream(const char* name, snd_pcm_stream_t dir, std::string* err,
                       snd_pcm_uframes_t periods = 4);

// A stream served by a thread of its own until stop().
class StreamThread {
  public:
    void stop();
    // When the stream's first frame was played or captured.
    double trigger() const { return trigger_; }
    uint64_t xruns() const { return xruns_; }

  protected:
    snd_pcm_t* pcm_ = nullptr;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    double trigger_ = 0;
    std::atomic<uint64_t> xruns_{0};
};

// Plays the input into `device` (the service's capture loop) from frame 0 on, without a break.
class Player : public StreamThread {
  public:
    ~Player() { stop(); }
    // Returns once the stream runs, or false with the cause in `err`.
    bool start(std::string* err, const char* device = "hw:0,1");

  private:
    void run();
    std::atomic<int> started_{0};
};

// Records `device` (the service's playback loop) into memory, without a break.
class Recorder : public StreamThread {
  public:
    ~Recorder() { stop(); }
    bool start(std::string* err, const char* device = "hw:1,1");
    // Read only after stop().
    const std::vector<Frame>& frames() const { return frames_; }

  private:
    void run();
    std::mutex mutex_;
    std::vector<Frame> frames_;
};

// A recording compared with the input.
struct Segment {
    uint64_t rec_first;  // recording index of the segment's first frame
    uint64_t in_first;   // input index it carries
    uint64_t frames;
};

struct Analysis {
    std::vector<Segment> segments;  // runs of frames that equal the gained input, in order
    uint64_t mismatched = 0;        // frames that are neither silence nor a gained input frame
    uint64_t silent_inside = 0;     // silent frames between the first and last signal frames
    std::vector<int> level_of_segment;
    int64_t level_switch = -1;  // recording index of the first frame at the second level
    int64_t last_first_level = -1;
    uint64_t first_signal = 0, last_signal = 0;
    bool any_signal = false;
};

// `levels` are the levels in the order they were set; `input_frames` bounds the input indexes
// looked up. A frame matches when it equals the gained input frame at the current offset with the
// current level or the next one; otherwise its offset is looked up anew from its content.
Analysis analyse(const std::vector<Frame>& rec, uint64_t input_frames,
                 const std::vector<int>& levels);
