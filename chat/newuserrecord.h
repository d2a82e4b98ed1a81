#pragma once

#include "core/messageline.h"

#include <QByteArray>
#include <QString>

// The record files a chat client's "NEWUSER" line writes into the working
// directory: fields 1 to 15 of the line, one per line, appended to the file
// that field 1 names.
namespace NewUserRecord {
constexpr int FieldCount = 15;

// A client may only name a plain file of its own: no path, no control bytes,
// and none of the files the server keeps (compared ignoring case).
bool isAllowedFileName(const QByteArray &name, const QByteArray &executableName);
// The record of a line; missing fields give empty lines so that every record
// in a file stays 15 lines long.
QByteArray record(const Fields &fields);
bool append(const QString &path, const QByteArray &record);
// The refusal as the operator's log view shows it.
QByteArray refusalText(const QByteArray &name);
} // namespace NewUserRecord
