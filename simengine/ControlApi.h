// The control API through which tests steer the simulated engine and read what it saw (the
// velto_sim Python module wraps it). Callable from any thread; the blocking calls (vsim_fire,
// vsim_deliver_*, vsim_observer_options) must not be made while holding the interpreter lock,
// since the module's callbacks on engine threads need it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "sdk/SdkExport.h"

extern "C" {

// Clears the journal, forced results, refused sub-interfaces, the create-null and resolve-fail
// switches and every push (senders play their own media again); created/released counters restart
// so that created == alive and released == 0. Outstanding references are not reset: they count live
// objects.
VELTO_API void vsim_reset(void);
// Writes the journal as a JSON array, NUL-terminated, when cap > its length; returns the length
// (without the NUL) either way.
VELTO_API size_t vsim_journal_json(char* buf, size_t cap);
// Forces the result of the operation named `call` ("joinChannel",
// "EngineParameters.setParameters", ...).
VELTO_API void vsim_set_result(const char* call, int result);
VELTO_API void vsim_clear_results(void);
VELTO_API void vsim_refuse_subinterface(int id, int refuse);
VELTO_API void vsim_fail_resolve_path(int fail);
VELTO_API void vsim_create_gives_null(int on);
VELTO_API void vsim_counts(int* created, int* alive, int* released);
// References handed out and not given back for sub-interface id 1..4, or 5 for SdkString.
VELTO_API int vsim_outstanding_refs(int subInterfaceId);
// sizeof the named record ("RtcStats", "LocalVideoStats", ..., "FirstFrameSize",
// "EngineAudioFrame", ...), 0 for an unknown name.
VELTO_API size_t vsim_record_size(const char* name);

// Fires a notification on engine thread `thread` (0..3) and waits up to timeoutMs (negative: no
// limit). Returns 0 done, -1 no event handler known, -2 timeout, -3 unknown event, -5 bad thread.
VELTO_API int vsim_fire(const char* event, uint32_t uid, int arg, const void* record,
                        size_t recordSize, int thread, int timeoutMs);
// Delivers an audio frame (stream 0 record, 1 play, 2 mix, 3 play-before-mix) through the audio
// observer. Returns the observer's answer 1/0, -1 no audio observer, -2 timeout, -3 bad stream
// type, -4 bytes around the buffer were changed, -5 bad thread.
VELTO_API int vsim_deliver_audio(int streamType, uint32_t uid, int samples, int bytesPerSample,
                                 int channels, int samplesPerSec, void* buffer, size_t bufferLen,
                                 int thread, int timeoutMs);
// Delivers a video frame (stream 10 capture, 11 render); results as for audio.
VELTO_API int vsim_deliver_video(int streamType, uint32_t uid, int width, int height, void* y,
                                 size_t yLen, void* u, size_t uLen, void* v, size_t vLen,
                                 int thread, int timeoutMs);
// Live mode for engines joining from now on: 1 on, 0 off, -1 as the environment variable
// VELTO_SIM_LIVE says (the default; unset means on). reset() leaves it alone.
VELTO_API void vsim_set_live(int mode);
// 1 when an engine joining now would run a live call, else 0.
VELTO_API int vsim_live(void);
// Writes, as for vsim_journal_json, the current engine's settings, switches and whether it runs
// a live call: {"settings":{...},"switches":{...},"inCall":bool}; the last engine released is
// used while none is alive, the defaults while none ever was.
VELTO_API size_t vsim_settings_json(char* buf, size_t cap);
// out10[0..1] = audioOption1..2, out10[2..9] = videoOption1..8; -1 if an observer is missing,
// -2 if the engine thread did not answer within 5 seconds.
VELTO_API int vsim_observer_options(int* out10);

// Pushes media for sender `uid` (0 the local user, else a pattern user of the current engine's
// settings), played instead of its own once its producer's next round comes. Audio: `bytes` of
// 16-bit interleaved PCM at `rate` (1000..384000) with 1 or 2 channels, at most one second.
// Video: one I420 frame, planes one after another, even sizes 2..3840 x 2..2160. Returns 0
// queued, -1 no engine, -2 the queue is full (try again later), -3 a size or format is wrong,
// -4 `uid` is no sender that plays pushed media.
VELTO_API int vsim_push_audio(uint32_t uid, const void* pcm, size_t bytes, int rate, int channels);
VELTO_API int vsim_push_video(uint32_t uid, int width, int height, const void* i420, size_t bytes);
// Ends the push for `uid`: its queued media is dropped and it plays its own again.
VELTO_API void vsim_push_end(uint32_t uid);

// Whether a call could play the file at `path` as a sender's audio (`video` 0: a 16-bit PCM
// WAV) or video (`video` 1: an I420 Y4M), checked as a call opens it. Returns 0 when it can;
// else -1, with the reason written to `error` as vsim_journal_json writes ("not a WAV file",
// "32-bit float samples; only 16-bit PCM plays", ...; empty when it does not fit `cap`).
// Needs no engine. Reads the whole of a WAV file.
VELTO_API int vsim_check_media_file(int video, const char* path, char* error, size_t cap);
}
