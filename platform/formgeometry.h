#pragma once

#include <QLatin1String>
#include <QPushButton>
#include <QRect>
#include <QWidget>

// The windows' layouts are given in twips; 15 twips make one pixel.
inline QRect twips(int left, int top, int width, int height)
{
    return QRect(left / 15, top / 15, width / 15, height / 15);
}

// A child widget with its object name, at its place.
template <typename Widget> Widget *place(QWidget *parent, const char *name, const QRect &geometry)
{
    auto *widget = new Widget(parent);
    widget->setObjectName(QLatin1String(name));
    widget->setGeometry(geometry);
    return widget;
}

inline QPushButton *button(QWidget *parent, const char *name, const QString &caption,
                           const QRect &geometry)
{
    auto *b = place<QPushButton>(parent, name, geometry);
    b->setText(caption);
    return b;
}
