// How the transfer controller reaches the window (or any other front end).
#pragma once

#include <QString>

class Observer
{
public:
    virtual void onMessage(const QString &msg) = 0;
    virtual void onProgress(int value) = 0;
    virtual void onUpdateEnd() = 0;

protected:
    ~Observer() = default;
};
