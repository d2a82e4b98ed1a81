#include "repaintpacer.h"

#include <QWidget>

RepaintPacer::RepaintPacer(QWidget *widget, std::chrono::milliseconds interval)
    : QObject(widget), m_widget(widget), m_interval(interval)
{
    m_release.setSingleShot(true);
    connect(&m_release, &QTimer::timeout, this, &RepaintPacer::release);
}

void RepaintPacer::changed()
{
    if (m_release.isActive())
        return; // painted when the interval ends
    const std::chrono::milliseconds since{m_sincePaint.isValid() ? m_sincePaint.elapsed()
                                                                 : m_interval.count()};
    if (since >= m_interval) {
        m_sincePaint.start();
        return;
    }
    m_widget->setUpdatesEnabled(false);
    m_release.start(m_interval - since);
}

void RepaintPacer::release()
{
    m_sincePaint.start();
    m_widget->setUpdatesEnabled(true); // repaints the whole widget
}
