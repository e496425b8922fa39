// Standard output: the one road of every byte of the transcript, its lock when it is
// "file.txt", and the descriptors 0-2 that must not be handed to the run's files.
#pragma once

#include <cstddef>
#include <span>
#include <string_view>

#include "FileIdentity.hpp"

// A descriptor 0-2 left closed by the caller would otherwise be taken by "file.c" or
// "file.txt", and the echo would land in a file. Each closed one is pointed at the null device,
// if that is what "/dev/null" is; otherwise it stays closed.
void occupy_closed_standard_descriptors();

// Writes all of `bytes` to `fd`, resuming partial writes and waiting while a non-blocking
// descriptor is full (retry_call's rule). `largest` is the most one write may carry: a packet
// socket takes each write as one message and refuses one larger than it can hold, so it is halved
// (never below one byte) until the socket takes it. False on the first failure.
[[nodiscard]] bool write_all(int fd, std::span<const unsigned char> bytes, std::size_t& largest);

// Writes `bytes` to standard output. Every byte of the transcript goes this way, so they stay in
// order, but those the read-back hands to sendfile (which falls back to this way, from the
// offset it reached, where it fails). Failures are not reported: the transcript is best effort, and
// the run goes on to complete "file.txt". After the first write that fails nothing more is written,
// so a reader gets a prefix of the transcript and never one with a hole in it.
void write_standard_output(std::span<const unsigned char> bytes);
void write_standard_output(std::string_view text);

// Whether a write to standard output has failed: nobody takes the transcript any more.
[[nodiscard]] bool standard_output_failed();

// Takes the lock that every run holds on "file.txt" while it writes and reads back its result,
// if standard output (`output`) may be the file at `path` (`remove >> file.txt`, or a standard
// output whose identity is unknown): the transcript then lands in that result, and must wait for
// another run's read-back of it as a new result would. Finding this out writes nothing, so it
// comes before the first byte of the transcript. If the file cannot be opened to be locked (but
// for one gone meanwhile), or another process holds the lock for longer than kLockWaitSeconds,
// standard output counts as failed and nothing is written to it: the transcript has nowhere else
// to go. Only a regular file, or one of unknown type, is opened for the lock.
void lock_standard_output_if_it_is(const char* path, const FileIdentity& output);
// Lets go of that lock, after the last write. The process's end lets go of it too.
void unlock_standard_output();
