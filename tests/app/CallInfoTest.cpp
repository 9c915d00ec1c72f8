// What the box learns about a call and writes beside its message: caller ID from the modem's
// text, and the note stored with each recording.
#include "app/CallerId.h"
#include "app/MessageNote.h"
#include "toolkit/Exception.h"

#include <cstdlib>
#include <ctime>
#include <gtest/gtest.h>

namespace {

// Hands the text over in chunks of 1, 2, 3, ... 7 bytes, as a serial port may deliver it.
void FeedInPieces(TCallerIdParser& parser, const std::string& text) {
    std::size_t size = 1;
    for (std::size_t at = 0; at < text.size(); at += size, size = size % 7 + 1)
        parser.Feed(std::string_view(text).substr(at, size));
}

} // namespace

TEST(CallerId, ReadsEveryFormTheModemsSendInAnyChunkingAndOrder) {
    TCallerIdParser parser;
    // Between the first and second RING, spaced, amid the modem's other lines.
    FeedInPieces(parser, "ATH0\r\r\nOK\r\n\r\nRING\r\n\r\nDATE = 1210\r\nTIME = 1330\r\nNMBR = 5551234\r\n"
                         "NAME = DOE JANE\r\n\r\nRING\r\n");
    EXPECT_EQ(parser.Id().Date, "1210");
    EXPECT_EQ(parser.Id().Time, "1330");
    EXPECT_EQ(parser.Id().Number, "5551234");
    EXPECT_EQ(parser.Id().Name, "DOE JANE");
    EXPECT_EQ(parser.Id().AnsweredText(), "answered from 5551234 (DOE JANE)");

    parser.Clear();
    EXPECT_FALSE(parser.HasId());
    EXPECT_EQ(parser.Id().AnsweredText(), "answered");
    // Tight, another order, before the first RING; LF-only line ends.
    FeedInPieces(parser, "NAME=SMITH J\nNMBR=01632960123\nTIME=0905\nDATE=0101\nRING\n");
    EXPECT_EQ(parser.Id().AnsweredText(), "answered from 01632960123 (SMITH J)");
    EXPECT_EQ(parser.Id().Date, "0101");

    // Partial: only some of the lines; lower-case keys from a sloppy modem.
    parser.Clear();
    EXPECT_TRUE(parser.Feed("TIME=1330\r\nnmbr = 5551234\r\n"));
    EXPECT_EQ(parser.Id().AnsweredText(), "answered from 5551234");
    parser.Clear();
    parser.Feed("NAME = DOE JANE\r\n");
    EXPECT_EQ(parser.Id().AnsweredText(), "answered from DOE JANE");

    // Private and out of area.
    parser.Clear();
    parser.Feed("DATE = 1210\r\nTIME = 1330\r\nNMBR = P\r\nNAME = P\r\n");
    EXPECT_TRUE(parser.Id().Private());
    EXPECT_EQ(parser.Id().AnsweredText(), "answered from a private number");
    parser.Clear();
    parser.Feed("NMBR = O\r\nNAME = DOE JANE\r\n");
    EXPECT_EQ(parser.Id().AnsweredText(), "answered from out of area (DOE JANE)");

    // A line is read only once its end has come; other lines are no caller ID.
    parser.Clear();
    EXPECT_FALSE(parser.Feed("NMBR = 555"));
    EXPECT_FALSE(parser.HasId());
    EXPECT_TRUE(parser.Feed("1234\r"));
    EXPECT_EQ(parser.Id().Number, "5551234");
    EXPECT_FALSE(parser.Feed("RING\r\nOK\r\nCONNECT\r\n+VCID=1\r\n"));
}

TEST(CallerId, TextFromTheLineIsMadePrintableAndBounded) {
    TCallerIdParser parser;
    // Terminal escapes, a NUL, a tab and bytes above ASCII in the name; an endless number.
    parser.Feed(std::string("NAME = DOE\x1b[2J\t\xc3\xa9 JANE") + '\0' + "X\r\n");
    parser.Feed("NMBR = " + std::string(100, '7') + "\r\n");
    EXPECT_EQ(parser.Id().Name, "DOE[2J JANEX");
    EXPECT_EQ(parser.Id().Number, std::string(TCallerId::MaxNumber, '7'));
    parser.Feed("NAME=" + std::string(100, 'N') + "\r\n");
    EXPECT_EQ(parser.Id().Name.size(), TCallerId::MaxName);

    // Noise without a line end for kilobytes neither grows the parser nor hides the next ID.
    parser.Clear();
    parser.Feed("NMBR=" + std::string(100000, '9'));
    EXPECT_FALSE(parser.HasId());
    parser.Feed("\r\nNMBR = 5551234\r\n");
    EXPECT_EQ(parser.Id().Number, "5551234");
}

TEST(MessageNote, WritesTheNoteInItsFormAndReadsItBack) {
    setenv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3", 1);
    tzset();
    TMessageNote note;
    note.Mailbox = "62345";
    note.Caller = "5551234";
    note.CallerName = "DOE JANE";
    note.Received = ParseIsoTime("2026-12-10T12:30:05Z");
    note.DurationSeconds = 12.44;
    note.Ended = MessageEndText(TMessageEnd::CallerLeft, "busy tone");
    note.Box = "pager7 ttyACM0";
    const std::string text = FormatMessageNote(note);
    EXPECT_EQ(text, "[message]\nmailbox=62345\ncaller=5551234\ncallername=DOE JANE\n"
                    "received=2026-12-10T13:30:05+01:00\nduration=12.4\nended=caller left (busy tone)\n"
                    "box=pager7 ttyACM0\n");
    const TMessageNote back = ParseMessageNote(text);
    EXPECT_EQ(back.Mailbox, note.Mailbox);
    EXPECT_EQ(back.CallerName, note.CallerName);
    EXPECT_EQ(back.Received, note.Received);
    EXPECT_DOUBLE_EQ(back.DurationSeconds, 12.4);
    EXPECT_EQ(back.Ended, "caller left (busy tone)");

    // Summer time has its own offset; other zones and UTC name the same instant.
    EXPECT_EQ(FormatIsoLocalTime(ParseIsoTime("2026-07-01T10:00:00Z")), "2026-07-01T12:00:00+02:00");
    EXPECT_EQ(ParseIsoTime("2026-12-10T07:00:05-05:30"), ParseIsoTime("2026-12-10T12:30:05Z"));

    // An unknown caller leaves both fields empty; a time limit and a zero duration.
    note.Caller.clear();
    note.CallerName.clear();
    note.DurationSeconds = 0.04;
    note.Ended = MessageEndText(TMessageEnd::TimeLimit);
    const std::string plain = FormatMessageNote(note);
    EXPECT_NE(plain.find("\ncaller=\ncallername=\n"), std::string::npos);
    EXPECT_NE(plain.find("\nduration=0.0\nended=time limit\n"), std::string::npos);
    unsetenv("TZ");
    tzset();
}

TEST(MessageNote, ValuesFromOutsideCannotAddLinesAndBadNotesAreNamed) {
    TMessageNote note;
    note.Mailbox = "62345";
    note.CallerName = "EVIL\r\nended=operator\nmailbox=1";
    note.Ended = MessageEndText(TMessageEnd::Hash);
    const std::string text = FormatMessageNote(note);
    int lines = 0;
    for (char c : text)
        lines += c == '\n';
    EXPECT_EQ(lines, 8);
    const TMessageNote back = ParseMessageNote(text);
    EXPECT_EQ(back.Mailbox, "62345");
    EXPECT_EQ(back.Ended, "#");
    EXPECT_EQ(back.CallerName, "EVILended=operatormailbox=1");

    // A later box's extra keys and CRLF line ends are fine.
    EXPECT_EQ(ParseMessageNote("[message]\r\nmailbox=7\r\nlanguage=de\r\n").Mailbox, "7");
    for (const char* bad : {"mailbox=7\n", "[message]\nmailbox 7\n", "[message]\nduration=1,5\n",
                            "[message]\nreceived=10.12.2026 13:30\n", ""}) {
        SCOPED_TRACE(bad);
        EXPECT_THROW(ParseMessageNote(bad), Exception);
    }
    try {
        ParseMessageNote("[message]\nmailbox=7\nduration=abc\n");
        ADD_FAILURE();
    } catch (const Exception& e) {
        EXPECT_EQ(e.Message(), "message note line 3: duration 'abc' is not a number of seconds");
    }
    EXPECT_EQ(NoteFileName("/var/lib/lumisk/382F31.wav"), "/var/lib/lumisk/382F31.txt");
    EXPECT_EQ(NoteFileName("62345/10.12.2026_13:30:05.wav"), "62345/10.12.2026_13:30:05.txt");
}
