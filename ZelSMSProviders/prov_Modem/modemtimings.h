#pragma once

// Intervals of the modem provider. The defaults are the shipped values, which
// parameter() reports; tests shorten the tick or move the library clock
// instead of waiting.
struct ModemTimings
{
    int tickMs = 100;
    int retryPauseS = 60;        // after a failed SMS
    int balanceIntervalS = 3600; // between USSD balance requests
    int balanceTimeoutS = 15;    // for the USSD answer
    int replyTimeoutS = 30;      // for an SMS result once the modem no longer works on it
    int smsWaitLimitS = 120;     // for an SMS result at all
    int portRetryS = 3;          // between attempts to open a port that failed or vanished
    int portLogRepeatS = 3600;   // between log lines of the same open failure
    // A failed balance request stays reported this long, past one 5 s status report.
    int balanceErrorShownMs = 6000;
    // Longest sleep of an idle modem between its own checks. They are timed
    // on the monotonic clock, so only a test that moves the library clock
    // needs the provider to look sooner.
    int idleLookMs = 60000;
};
