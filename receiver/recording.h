// Checking a recording instead of listening: a unit's messages back to back, as its --dry-run
// writes them, from a file or standard input, read in pieces as they come.
#ifndef VANDRY_RECEIVER_RECORDING_H
#define VANDRY_RECEIVER_RECORDING_H

#include "receiver/message_log.h"
#include "receiver/receiver_options.h"

namespace vandry::receiver {

// Reads the recording that options name through the log and prints the closing line. The exit
// status when it cannot be read (said why): 2 when its header names the column twice, else 1;
// 0 when it was read.
int read_recording(const ReceiverOptions &options, MessageLog &log);

} // namespace vandry::receiver

#endif
