#pragma once

#include <QtGlobal>

#include <optional>

struct st_mysql;

// How many bytes a second the link to the server carries from here, timed on
// an open session that has not run anything else yet, with statements that
// do nothing. Nothing when the session would not run them, or its largest
// statement (maxAllowedPacket, 0 when unknown) is too small to time a link.
[[nodiscard]] std::optional<double> measureLinkRate(st_mysql *m, qint64 maxAllowedPacket);

// Whether compressing the protocol raises a dump's rate over a link that
// carries bytesPerSecond.
[[nodiscard]] bool compressionPays(double bytesPerSecond);
