#pragma once

#include <QEvent>
#include <QObject>
#include <QPointer>
#include <QWidget>

#include <functional>

// One window of a kind, made on first need: an open one is only brought
// forward, never made or loaded again; a closed one is destroyed and made
// afresh the next time.
template <typename Window> class SingleWindow
{
public:
    // Makes and loads the window, unshown; nullptr when there is nothing to
    // show (the operator has been told why).
    using Make = std::function<Window *()>;

    explicit SingleWindow(Make make) : m_make(std::move(make)) {}
    SingleWindow(const SingleWindow &) = delete;
    SingleWindow &operator=(const SingleWindow &) = delete;
    ~SingleWindow() { delete m_window; }

    // The window while it exists.
    Window *window() const { return m_window; }

    // The window, made without showing it when there is none.
    Window *ensure()
    {
        if (m_window)
            return m_window;
        Window *window = m_make();
        if (!window)
            return nullptr;
        window->setAttribute(Qt::WA_DeleteOnClose);
        // Closing hands the window to deferred deletion: from then on it is
        // gone for this holder, even before it is deleted.
        new CloseWatcher(window, [this] { m_window.clear(); });
        m_window = window;
        return window;
    }

    // Shows the window without blocking, or brings the open one forward.
    Window *showOrRaise()
    {
        Window *window = ensure();
        if (!window)
            return nullptr;
        if (window->isMinimized())
            window->showNormal();
        else
            window->show();
        window->raise();
        window->activateWindow();
        return window;
    }

private:
    class CloseWatcher : public QObject
    {
    public:
        CloseWatcher(QWidget *window, std::function<void()> closed)
            : QObject(window), m_closed(std::move(closed))
        {
            window->installEventFilter(this);
        }
        bool eventFilter(QObject *watched, QEvent *event) override
        {
            // The windows kept this way never refuse to close.
            if (watched == parent() && event->type() == QEvent::Close)
                m_closed();
            return false;
        }

    private:
        std::function<void()> m_closed;
    };

    Make m_make;
    QPointer<Window> m_window;
};
