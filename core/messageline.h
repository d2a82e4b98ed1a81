#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QList>

#include <initializer_list>

// A message line's fields, field 0 the keyword. Handlers read positions that a
// line may not carry; a missing field is "not there", never an error.
using Fields = QList<QByteArray>;

inline const QByteArray *field(const Fields &fields, qsizetype position)
{
    return position >= 0 && position < fields.size() ? &fields[position] : nullptr;
}

// What a handler of a line wants next.
enum class HandlerOutcome
{
    NextLine,
    Stop // the rest of the chunk is dropped
};

// Joins fields with TAB and ends the line with CR LF.
QByteArray messageLine(std::initializer_list<QByteArrayView> fields);
