#include "core/messageline.h"

QByteArray messageLine(std::initializer_list<QByteArrayView> fields)
{
    qsizetype size = 2;
    for (QByteArrayView f : fields)
        size += f.size() + 1;
    QByteArray line;
    line.reserve(size);
    bool first = true;
    for (QByteArrayView f : fields) {
        if (!first)
            line += '\t';
        line += f;
        first = false;
    }
    line += "\r\n";
    return line;
}
