#pragma once

#include <QString>

// The clocks a record's age is measured on. The wall clock can step by hours
// or days (a flat RTC battery, then NTP); CLOCK_BOOTTIME cannot, and counts
// the time spent suspended, but starts again at every boot, so it is stored
// with the boot's id and used only within the same boot.
namespace BootClock {

// /proc/sys/kernel/random/boot_id, read once; empty where there is none.
QString bootId();
// CLOCK_BOOTTIME in milliseconds.
qint64 bootMs();
// The wall clock, for what must survive a reboot and for display.
qint64 wallMs();

// Milliseconds from a moment stored as (wall ms, boot id, boot ms) to now:
// on the boot clock when the moment lies in this boot, else on the wall clock.
qint64 elapsedSince(qint64 wallMs, const QString &bootId, qint64 bootMs);

} // namespace BootClock
