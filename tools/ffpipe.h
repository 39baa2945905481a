// ffmpeg as a child process fed raw frames through an anonymous pipe, its
// standard output and errors going to a text file beside the video.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "core/common.h"

struct FfPipe {
  HANDLE input = nullptr;    // our end of ffmpeg's standard input
  HANDLE process = nullptr;  // ffmpeg
  bool ok = true;            // every write so far went through whole

  FfPipe() = default;
  FfPipe(const FfPipe&) = delete;
  FfPipe& operator=(const FfPipe&) = delete;
  ~FfPipe();

  // Creates an 8 MiB pipe (slightly more than one 1920 x 1080 BGRA frame),
  // creates the text file anew, and starts the command line hidden with the
  // pipe as its input and the file as its output and errors. The child
  // inherits those handles only. False when the pipe or the process cannot
  // be made (the text file may then exist).
  bool start(const std::wstring& cmdline, const std::wstring& text_file);
  // One blocking write of the whole buffer; a failed or short write clears ok.
  bool write(const std::vector<u8>& bytes);
  // Closes the input, waits at most wait_ms and returns the exit code: 1
  // when it cannot be read, 259 (still active) when ffmpeg has not ended; it
  // is never terminated.
  unsigned long finish(u32 wait_ms);
};

// An encoder command line of the recordings: the program quoted, raw BGRA
// frames of the given size at 60 per second on standard input, H.264 with
// the given rate options (BT.709, 4:2:0) into out, overwritten.
std::wstring ff_command(const std::wstring& ffmpeg, u32 width, u32 height, const wchar_t* rate_options,
                        const std::wstring& out);
