// One preview through the service: start, the levels in turn over 3 s, stop. The recording must
// be the gained input bit for bit, the level must change on a block boundary, the stop must land
// within a block and be acknowledged. Prints the latency and the reaction times. The same preview
// again with the cards named by id the other way round must carry the audio just as well.

#include <stdio.h>
#include <stdlib.h>

#include <vector>

#include "gtest/gtest.h"
#include "guest_rig.h"
#include "protocol_lines.h"

namespace {

// What the one preview left, for each test to judge its part.
struct StreamRun {
    std::string setup_error;
    std::string skipped;
    std::vector<int> levels;
    std::string transcript;
    long capturing = -1, captured = -1, prop_exit = -1;
    double t_start = 0, t_capturing = 0;
    double t_stop_begin = 0, t_stop = 0, t_ack = 0, t_captured = 0;
    uint64_t frames = 0;  // as the "Captured" line says
    double player_trigger = 0, recorder_trigger = 0;
    uint64_t player_xruns = 0, recorder_xruns = 0;
    Analysis a;
    bool exact = false;
    std::string exact_details;
};

// With `kSwappedById`, HDMI_PREVIEW_CARD0 names card 1 and HDMI_PREVIEW_CARD1 card 0 (their ids
// from the guest's init): the input goes into card 1's loop and comes out of card 0's.
template <bool kSwappedById>
void preview(StreamRun* r) {
    // The installed service is checked at the level a user leaves it; the built one across a level
    // change.
    r->levels = guest_config().installed() ? std::vector<int>{7} : std::vector<int>{5, 9};
    GuestRig rig;
    if (kSwappedById) {
        if (guest_config().tinyalsa()) {
            r->skipped = format("built against %s, which reads no card variables",
                                guest_config().pcm_library.c_str());
            return;
        }
        rig.service_env = {"HDMI_PREVIEW_CARD0=LoopbackPlayout",
                           "HDMI_PREVIEW_CARD1=LoopbackCapture"};
        rig.player_device = "hw:1,1";
        rig.recorder_device = "hw:0,1";
    }
    if (!rig.start(&r->setup_error)) return;
    ServiceProcess* service = &rig.service;
    const double per_level = 3.0 / r->levels.size();
    set_prop(kLevelProperty, std::to_string(r->levels[0]), &r->setup_error);
    // Reactions count from the start of the write: through the tool a write takes an exec.
    r->t_start = now();
    set_prop(kTriggerProperty, "1", &r->setup_error);
    r->capturing = wait_line(service, capturing_line(), 3);
    if (r->capturing < 0) {
        r->transcript = service->transcript();
        return;
    }
    r->t_capturing = seconds_at(service->lines()[r->capturing]);
    for (size_t i = 1; i < r->levels.size(); ++i) {
        pause_reading(service, per_level);
        set_prop(kLevelProperty, std::to_string(r->levels[i]), &r->setup_error);
    }
    pause_reading(service, per_level);
    r->t_stop_begin = now();
    set_prop(kTriggerProperty, "0", &r->setup_error);
    r->t_stop = now();
    // The trigger first: the service's lines may come later than its writes (the journal).
    r->t_ack = wait_prop(service, kTriggerProperty, kAcknowledgement, 3);
    r->captured = wait_captured_line(service, 3, r->capturing);
    r->prop_exit = wait_line(service, kPropExitLine, 3, r->capturing);
    // The frames the service played last need the rest of a period to reach hw:1,1.
    pause_reading(service, 0.3);
    rig.player.stop();
    rig.recorder.stop();
    if (r->captured >= 0) {
        r->t_captured = seconds_at(service->lines()[r->captured]);
        parse_captured_line(service->lines()[r->captured].text, &r->frames);
    }
    r->transcript = service->transcript();
    end_service(service);

    r->player_trigger = rig.player.trigger();
    r->recorder_trigger = rig.recorder.trigger();
    r->player_xruns = rig.player.xruns();
    r->recorder_xruns = rig.recorder.xruns();
    const double input_span = now() - r->player_trigger + 1;
    const uint64_t input_frames = static_cast<uint64_t>(input_span * kRate) + 8 * kPeriod;
    r->a = analyse(rig.recorder.frames(), input_frames, r->levels);
    const Analysis& a = r->a;
    uint64_t matched = 0;
    for (const Segment& s : a.segments) matched += s.frames;
    r->exact = a.any_signal && a.segments.size() == 1 && a.mismatched == 0 &&
               a.silent_inside == 0 && matched == a.last_signal - a.first_signal + 1;
    r->exact_details = format(
        "signal %d, segments %zu, mismatched %llu, silent inside %llu, matched %llu of %llu, "
        "second segment at %lld, xruns: player %llu, recorder %llu",
        a.any_signal, a.segments.size(), (unsigned long long)a.mismatched,
        (unsigned long long)a.silent_inside, (unsigned long long)matched,
        (unsigned long long)(a.any_signal ? a.last_signal - a.first_signal + 1 : 0),
        a.segments.size() > 1 ? (long long)(a.segments[1].rec_first - a.first_signal) : -1LL,
        (unsigned long long)r->player_xruns, (unsigned long long)r->recorder_xruns);
}

using StreamTest = ScenarioTest<StreamRun, preview<false>>;
using CardIdStreamTest = ScenarioTest<StreamRun, preview<true>>;

TEST_F(StreamTest, StartPrintsTheFormat) {
    const StreamRun& r = run();
    EXPECT_GE(r.capturing, 0) << "no \"Capturing sample\" line within 3 s: " << r.transcript;
}

TEST_F(StreamTest, StopIsAcknowledged) {
    const StreamRun& r = run();
    EXPECT_TRUE(r.captured >= 0 && r.prop_exit > r.captured && r.t_ack > 0)
        << format("Captured line %ld, prop exit line %ld, trigger 2 seen %d: %s", r.captured,
                  r.prop_exit, r.t_ack > 0, r.transcript.c_str());
}

TEST_F(StreamTest, GainIsBitExact) {
    const StreamRun& r = run();
    ASSERT_TRUE(r.exact) << r.exact_details;
    // Recording index r was captured at recorder trigger + r/rate; input index k was played at
    // player trigger + k/rate.
    const Segment& s = r.a.segments.front();
    const double latency = (r.recorder_trigger + seconds_of(s.rec_first)) -
                           (r.player_trigger + seconds_of(s.in_first));
    figure("latency_capture_to_playback", "%.1f ms", latency * 1e3);
    figure("start_reaction_line", "%.1f ms (trigger 1 to \"Capturing sample\")",
           (r.t_capturing - r.t_start) * 1e3);
    figure("start_reaction_audio", "%.1f ms (trigger 1 to first gained frame at hw:1,1)",
           (r.recorder_trigger + seconds_of(r.a.first_signal) - r.t_start) * 1e3);
}

// The level is read once per block, so the switch falls on a block boundary of the service's
// stream, which starts with the first frame played.
TEST_F(StreamTest, LevelChangesAtABlockBoundary) {
    const StreamRun& r = run();
    if (r.levels.size() < 2) GTEST_SKIP() << "one level: no change to place";
    ASSERT_TRUE(r.exact) << "no bit-exact stream to place the change in: " << r.exact_details;
    const Analysis& a = r.a;
    const Segment& s = a.segments.front();
    uint64_t boundary = 0;
    bool switch_ok = a.level_switch > 0;
    if (switch_ok) {
        const uint64_t from_first = a.level_switch - s.rec_first;
        boundary = s.rec_first + (from_first + kBlockFrames - 1) / kBlockFrames * kBlockFrames;
        switch_ok = static_cast<uint64_t>(a.last_first_level) < boundary &&
                    boundary <= static_cast<uint64_t>(a.level_switch);
    }
    EXPECT_TRUE(switch_ok) << format(
        "level switch at %lld, last frame at the first level %lld, block boundary %llu",
        (long long)a.level_switch, (long long)a.last_first_level, (unsigned long long)boundary);
}

// The service played input frames in_first .. in_first+N-1 (N from its "Captured" line); the last
// of them was captured no earlier than it was played into hw:0,0, and all of it was read before
// the trigger was cleared (a block read after that is dropped).
TEST_F(StreamTest, StopLandsWithinABlock) {
    const StreamRun& r = run();
    ASSERT_TRUE(r.exact) << "no bit-exact stream to find the stop in: " << r.exact_details;
    const Segment& s = r.a.segments.front();
    const uint64_t n = r.frames;
    const double t_last_kept = r.player_trigger + seconds_of(s.in_first + n);
    // The trigger turned 0 between t_stop_begin and t_stop.
    const double stop_margin = r.t_stop - t_last_kept;
    const double block = seconds_of(kBlockFrames);
    EXPECT_TRUE(n > 0 && n % kBlockFrames == 0 && stop_margin > -0.002 &&
                r.t_stop_begin - t_last_kept < 2 * block + 0.01)
        << format(
               "%llu frames played; last kept block ended %.1f ms before the stop (written in "
               "%.1f ms; a block is %.1f ms)",
               (unsigned long long)n, stop_margin * 1e3, (r.t_stop - r.t_stop_begin) * 1e3,
               block * 1e3);
    figure("stop_margin", "%.1f ms (end of the last block played to trigger 0)", stop_margin * 1e3);
    if (guest_config().installed()) {
        figure("trigger_write", "%.1f ms (hdmi-preview-prop set)",
               (r.t_stop - r.t_stop_begin) * 1e3);
    }
    figure("stop_reaction_line", "%.1f ms (trigger 0 to \"Captured N frames\")",
           (r.t_captured - r.t_stop_begin) * 1e3);
    figure("stop_reaction_ack", "%.1f ms (trigger 0 to trigger \"2\")",
           (r.t_ack - r.t_stop_begin) * 1e3);
    figure("stop_reaction_audio", "%.1f ms (trigger 0 to last gained frame at hw:1,1)",
           (r.recorder_trigger + seconds_of(r.a.last_signal + 1) - r.t_stop_begin) * 1e3);
    figure("stream_xruns", "player %llu, recorder %llu", (unsigned long long)r.player_xruns,
           (unsigned long long)r.recorder_xruns);
}

TEST_F(CardIdStreamTest, SwappedCardsCarryTheAudio) {
    const StreamRun& r = run();
    if (!r.skipped.empty()) GTEST_SKIP() << r.skipped;
    EXPECT_TRUE(r.exact) << r.exact_details << "; " << r.transcript;
}

}  // namespace
