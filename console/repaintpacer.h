#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

#include <chrono>

class QWidget;

// Keeps a busy widget from repainting more than once per interval. Its data
// changes at once (what it shows can be read at any time); only the painting
// waits: the first change after a quiet interval paints as usual, later ones
// within the interval are painted together when it ends. A room where people
// come and go quickly must not cost a repaint per change.
class RepaintPacer : public QObject
{
public:
    RepaintPacer(QWidget *widget, std::chrono::milliseconds interval);

    // Call after each change to the widget's contents.
    void changed();

private:
    void release();

    QWidget *m_widget;
    std::chrono::milliseconds m_interval;
    QElapsedTimer m_sincePaint;
    QTimer m_release;
};
