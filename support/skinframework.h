#pragma once

#include <QString>
#include <QVariant>

class QWidget;

// The skin component: a Qt style sheet loaded from a skin file and applied to a window. It is
// driven only through one late-bound entry point, by dispatch id.
class SkinFramework
{
public:
    enum CallKind
    {
        Method,
        PropertyGet,
        PropertyPut
    };
    // Dispatch ids of the component's members.
    enum DispatchId
    {
        Options = 1,
        LoadSkin = 2,
        ApplyWindow = 3,
        ApplyFrames = 5,
        ApplyDialogs = 10
    };

    virtual ~SkinFramework() = default;

    // Calls member `dispatchId`; an unknown member or a failing call throws a Failure. Late
    // bound: whatever stands in for the component answers the same calls.
    virtual QVariant Invoke(int dispatchId, CallKind kind, const QVariantList& args);

    const QString& styleSheet() const { return m_styleSheet; }

private:
    void loadSkin(const QString& path);
    void applyTo(qint32 windowHandle);

    QString m_styleSheet;
    qint32 m_options = 0;
    bool m_applyFrames = false;
    bool m_applyDialogs = false;
};

// Applies the optional skin file "x/o.cjs" of the installation folder to `window`: the window
// and its frames take the button-face colour, then `skin` loads and applies the file. Without
// the file nothing changes. A failure of the skin component is thrown.
void ApplySkin(QWidget& window, SkinFramework& skin);
