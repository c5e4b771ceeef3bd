#pragma once

#include <QByteArray>
#include <QString>

// What this host has learnt about the SIM's PIN, kept in a small file so
// that a restart does not spend another of the SIM's three tries: the PIN it
// refused (as a salted hash, never the digits) and how many PINs it refused
// since the SIM last accepted one. Without a path it lives in memory only.
//
// A missing file means nothing is known yet. A file that cannot be read as
// this guard wrote it (empty after a power cut, a link, not a regular file,
// another owner, not in its format) cannot be trusted: no PIN may go out and
// the file is left as found, because counting afresh could spend the SIM's
// last try and lock it behind its PUK.
class SimPinGuard
{
public:
    // The SIM's tries before it asks for its PUK; the standard value, since
    // the modems' own counters are vendor commands.
    static constexpr int SimTries = 3;

    // Reads the state kept at path (missing: nothing known).
    void setStatePath(const QString &path);
    QString statePath() const { return m_path; }
    // Empty while the state file can be trusted, else why it cannot.
    QString distrust() const { return m_distrust; }
    bool isTrusted() const { return m_distrust.isEmpty(); }

    // The configured PIN: a different one than the refused PIN ends that
    // refusal (the tries already spent still count).
    void setPin(const QString &pin);
    bool isRefused(const QString &pin) const;
    // Tries the SIM has left by this host's count.
    int triesLeft() const { return SimTries - m_refusals; }
    // Whether a PIN may go out: the state is trusted, the PIN not refused,
    // and more than one try left, so that a last wrong PIN never locks the SIM.
    bool mayTry(const QString &pin) const
    {
        return isTrusted() && !isRefused(pin) && triesLeft() > 1;
    }

    // Called before a PIN goes out: it counts as refused until the SIM says
    // it is ready, so that a run killed before the answer never sends it again.
    void pinAttempted(const QString &pin);
    // The SIM is ready (it took a PIN or asks for none): its counter is full.
    void simReady();

private:
    QByteArray hashOf(const QString &pin) const;
    void load();
    bool parse(const QByteArray &content);
    void save() const;

    QString m_path;
    QString m_distrust;
    QByteArray m_salt;
    QByteArray m_refusedHash;
    int m_refusals = 0;
};
