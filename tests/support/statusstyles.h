// SPDX-License-Identifier: MIT
#ifndef STATUSSTYLES_H
#define STATUSSTYLES_H

#include <QString>

// The status line's four looks, as the user sees them.
namespace StatusStyle {
inline const QString Idle = QStringLiteral("color: #888; font-weight: bold; padding: 4px;");
inline const QString Busy = QStringLiteral("color: #ff8c00; font-weight: bold; padding: 4px;");
inline const QString Success = QStringLiteral("color: #107c10; font-weight: bold; padding: 4px;");
inline const QString Error = QStringLiteral("color: red; font-weight: bold; padding: 4px;");
} // namespace StatusStyle

#endif // STATUSSTYLES_H
