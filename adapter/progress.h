// The progress line: one line per file on standard error, rewritten in place
// with a carriage return, at most about five times a second, and only when
// standard error is a terminal (a console on Windows). Otherwise every call
// here but consolePrintf does nothing, and consolePrintf is printf.
#pragma once

#include <cstdint>

enum ProgressOutcome { PROGRESS_DONE, PROGRESS_FAILED, PROGRESS_SKIPPED };

// Looks once whether standard error is a terminal, and whether standard
// output reaches the same one.
void progressInit();
// printf to standard output; when both streams share a terminal, the progress
// line is cleared first and drawn again after, so the two never mix.
void consolePrintf(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;
// The terminal mode hides the transcript of standard output during a
// transfer (it would mix with the remote's output); error lines still show,
// and each closing line of the progress says why a file failed or was skipped.
void consoleTranscript(bool shown);
// An error line: shown even when the transcript is hidden.
void consoleShowError(const char* text);
// Why the current (or next) file fails or is skipped, for its closing line
// while the transcript is hidden; the first reason given stays.
void progressReason(const char* why);
// A file begins; its total is unknown when hasTotal is false.
void progressStart(const char* name, uint32_t total, bool hasTotal);
// A received file begins; its total is the first field of the offer's file
// information, when there is one.
void progressStartOffer(const char* name, const char* information);
void progressUpdate(uint32_t position);
// A rewind: the position goes back to the offset.
void progressSeek(uint32_t offset);
// The file ends: final bytes, time taken, average rate, outcome, newline.
void progressEnd(ProgressOutcome outcome, uint32_t position);
// A file that ended before it began (could not be opened or created).
void progressNote(const char* name, ProgressOutcome outcome);
// The transfer is over: a file still on the line ends as failed, then the
// batch summary. When the user interrupted it, the line is dropped instead,
// and the interruption told on the terminal unless standard output shows it.
void progressFinish(bool interrupted);
