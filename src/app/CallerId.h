// Caller ID from the modem's text. With caller ID on (AT+VCID=1, AT#CID=1), a voice modem sends
// lines such as "DATE = 1210", "TIME = 1330", "NMBR = 5551234", "NAME = DOE JANE" between the
// first and second RING (before the first in the UK): with or without spaces around "=", in any
// order, sometimes only some of them; "NMBR = P" is a private number, "NMBR = O" one out of
// area. Plain C++: the call flow feeds it whatever the port delivered.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

struct TCallerId {
    // As the modem sent them, printable characters only and bounded: Number to 32 characters
    // (digits, or "P" / "O"), Name to 64, Date and Time to 16. Empty when not sent.
    std::string Number;
    std::string Name;
    std::string Date;
    std::string Time;

    static constexpr std::size_t MaxNumber = 32;
    static constexpr std::size_t MaxName = 64;
    static constexpr std::size_t MaxDateTime = 16;

    bool Any() const { return !Number.empty() || !Name.empty() || !Date.empty() || !Time.empty(); }
    bool Private() const { return Number == "P"; }
    bool OutOfArea() const { return Number == "O"; }
    // "5551234", "a private number", "out of area"; empty without a number.
    std::string NumberText() const;
    // The event line of the answer: "answered from 5551234 (DOE JANE)", "answered from 5551234",
    // "answered from DOE JANE", "answered from a private number", or "answered" when no number
    // or name came.
    std::string AnsweredText() const;
};

class TCallerIdParser {
public:
    // Takes received modem text in chunks of any size; a line counts once its CR or LF has
    // come. Lines other than NMBR, NAME, DATE and TIME (RING, OK, echoes) are passed over.
    // Returns true when a caller-ID line was read from this chunk.
    bool Feed(std::string_view text);
    const TCallerId& Id() const { return FId; }
    bool HasId() const { return FId.Any(); }
    // Forgets the ID and any partial line (after a hang-up).
    void Clear();

private:
    bool TakeLine(std::string_view line);

    TCallerId FId;
    std::string FLine;
    bool FOverlong = false; // the line being received has outgrown any caller-ID line
};
