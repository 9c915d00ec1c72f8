// lumisk-linesim in voice-modem mode (--voice-modem): the line's modem end is a V.253 voice
// modem (VoiceModemEnd.h) carrying the call's audio itself, so the box needs no sound card.
//
// Commands (besides quit):
//   ring                  send RING
//   keys KEYS             the caller presses KEYS: <DLE> reports while the box plays, tones while
//                         it listens
//   say FILE.wav | tone S the caller speaks a WAV file, or a 440 Hz tone of S seconds
//   event C               a <DLE>C in the data: b busy, d dial tone, s silence, l loop break, H handset
//   drop                  close the modem end
//   call SCRIPT           a whole call: KEYS [ahead=MS] [quiet=MS] [limit=S] [tail=C]
//                         [wav FILE | tone S | none]. Rings until the box answers (AT+VLS=1), keys
//                         while the greeting plays (ahead=) or once the box has listened quiet=
//                         ms (700), then the message once the box listens again after its next
//                         prompts, then the tail event (tail=b: a busy tone), and waits for the
//                         hang-up (ATH0) and a second of quiet while the box sets the modem up again.
//                         Reports "call answered", "call keys", "call message", "call tail C",
//                         "call hangup [N ms after the tail, ]longest gap G ms, overrun O bytes"
//                         (the longest underrun inside a prompt, bytes the modem's buffer could
//                         not take, over the whole run) or "call failed <why>".
#pragma once

#include "VoiceModemEnd.h"

#include <string>

// Runs the simulator in voice-modem mode; returns the process's exit status.
int RunVoiceLine(const TVoiceModemOptions& options, const std::string& control, const std::string& link,
                 const std::string& logPath, const std::string& call, bool haveCall);
