// The note beside each message: a small text file of the recording's name with ".txt" in place
// of ".wav", stored after the recording so that whoever sees it knows the recording is whole:
//
//   [message]
//   mailbox=62345
//   caller=5551234
//   callername=DOE JANE
//   received=2026-12-10T13:30:05+01:00
//   duration=12.4
//   ended=caller left (busy tone)
//   box=HOSTNAME ttyACM0
//
// caller and callername are empty when unknown. The outbox and crash recovery read it back.
// Values come partly from outside (caller ID): written, each keeps only printable characters, so
// no value can add a line; and nothing in a note ever names a file.
#pragma once

#include <ctime>
#include <string>

// How a message ended, in the note's words.
enum class TMessageEnd { TimeLimit, Hash, CallerLeft, RingDuringRecording, Operator, Interrupted };

// "time limit", "#", "caller left (<how>)", "ring during the recording", "operator",
// "interrupted". how is the line event's name ("busy tone", "silence", ...), used only for
// CallerLeft.
std::string MessageEndText(TMessageEnd end, const std::string& how = {});

struct TMessageNote {
    std::string Mailbox;
    std::string Caller; // the number as caller ID gave it ("P", "O" for private, out of area)
    std::string CallerName;
    std::time_t Received = 0; // when the message began
    double DurationSeconds = 0;
    std::string Ended; // MessageEndText
    std::string Box;   // "HOSTNAME ttyACM0": which box and line took it
};

// The note's text, lines ended by "\n". The duration is written with one decimal and a point
// whatever the process's locale; received as local time with its offset.
std::string FormatMessageNote(const TMessageNote& note);
// Reads a note back. Unknown keys are passed over (a later box may add some); a missing
// "[message]" line, a line without "=", or a received time or duration that does not parse
// raises Exception naming the line.
TMessageNote ParseMessageNote(const std::string& text);

// "2026-12-10T13:30:05+01:00": ISO 8601 local time with the offset from UTC.
std::string FormatIsoLocalTime(std::time_t time);
// Reads that form back (an offset, or "Z"); raises Exception for anything else.
std::time_t ParseIsoTime(const std::string& text);

// The note's file name beside a recording: "X.wav" gives "X.txt", any other name gets ".txt"
// appended. Built from the recording's name only.
std::string NoteFileName(const std::string& recordingName);
