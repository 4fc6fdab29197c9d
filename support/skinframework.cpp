#include "support/skinframework.h"

#include <sys/stat.h>

#include <QApplication>
#include <QCheckBox>
#include <QFile>
#include <QFileInfo>
#include <QGroupBox>
#include <QLabel>
#include <QRadioButton>
#include <QStringDecoder>
#include <QWidget>

#include "support/failure.h"
#include "support/installfolder.h"

namespace {

constexpr qint64 MaxSkinSize = 1024 * 1024;

QString skinPath()
{
    return InstallationFolder() + QStringLiteral("/x/o.cjs");
}

// An ordinary file: not a folder, device, pipe or socket, and not hidden.
bool isOrdinaryFile(const QString& path)
{
    struct stat info = {};
    return ::stat(QFile::encodeName(path).constData(), &info) == 0 && S_ISREG(info.st_mode) &&
           !QFileInfo(path).isHidden();
}

bool bracesBalance(const QString& text)
{
    int depth = 0;
    for (QChar c : text) {
        depth += c == QLatin1Char('{') ? 1 : c == QLatin1Char('}') ? -1 : 0;
        if (depth < 0)
            return false;
    }
    return depth == 0;
}

Failure badSkin(const QString& path)
{
    return Failure(QStringLiteral("The skin file %1 cannot be loaded").arg(path));
}

void paintButtonFace(QWidget* widget, const QColor& face)
{
    if (!widget->setProperty("BackColor", face)) {
        // Kinds without the property: the colour goes into their palette instead.
        QPalette palette = widget->palette();
        palette.setColor(QPalette::Window, face);
        widget->setPalette(palette);
        widget->setAutoFillBackground(true);
    }
}

} // namespace

QVariant SkinFramework::Invoke(int dispatchId, CallKind kind, const QVariantList& args)
{
    if (dispatchId == LoadSkin && kind == Method && args.size() == 2) {
        loadSkin(args.at(0).toString());
        return {};
    }
    if (dispatchId == Options && kind == PropertyGet && args.isEmpty())
        return m_options;
    if (dispatchId == Options && kind == PropertyPut && args.size() == 1) {
        m_options = args.at(0).toInt();
        return {};
    }
    if ((dispatchId == ApplyFrames || dispatchId == ApplyDialogs) && kind == PropertyPut &&
        args.size() == 1) {
        (dispatchId == ApplyFrames ? m_applyFrames : m_applyDialogs) = args.at(0).toBool();
        return {};
    }
    if (dispatchId == ApplyWindow && kind == Method && args.size() == 1) {
        applyTo(args.at(0).toInt());
        return {};
    }
    throw Failure(QStringLiteral("Object doesn't support this property or method"));
}

void SkinFramework::loadSkin(const QString& path)
{
    QFile file(path);
    if (!isOrdinaryFile(path) || !file.open(QIODevice::ReadOnly) || file.size() > MaxSkinSize)
        throw badSkin(path);
    const QByteArray bytes = file.read(MaxSkinSize);
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString text = utf8.decode(bytes);
    if (utf8.hasError() || bytes.contains('\0') || !bracesBalance(text))
        throw badSkin(path);
    m_styleSheet = text;
}

void SkinFramework::applyTo(qint32 windowHandle)
{
    QWidget* window = QWidget::find(static_cast<WId>(static_cast<quint32>(windowHandle)));
    if (!window)
        throw Failure(QStringLiteral("Invalid window handle"));
    window->setStyleSheet(m_styleSheet);
}

void ApplySkin(QWidget& window, SkinFramework& skin)
{
    if (!isOrdinaryFile(skinPath()))
        return;
    const QColor buttonFace = QApplication::palette().color(QPalette::Button);
    paintButtonFace(&window, buttonFace);
    for (QWidget* control : window.findChildren<QWidget*>()) {
        if (qobject_cast<QRadioButton*>(control) || qobject_cast<QCheckBox*>(control) ||
            qobject_cast<QGroupBox*>(control) || qobject_cast<QLabel*>(control))
            paintButtonFace(control, buttonFace);
    }
    const QString path = skinPath();
    skin.Invoke(SkinFramework::LoadSkin, SkinFramework::Method, {path, QString()});
    bool converted = false;
    const qint32 options =
        skin.Invoke(SkinFramework::Options, SkinFramework::PropertyGet, {}).toInt(&converted);
    if (!converted)
        throw Failure(QStringLiteral("Type mismatch"));
    skin.Invoke(SkinFramework::Options, SkinFramework::PropertyPut, {options | 1});
    skin.Invoke(SkinFramework::ApplyFrames, SkinFramework::PropertyPut, {true});
    skin.Invoke(SkinFramework::ApplyDialogs, SkinFramework::PropertyPut, {true});
    skin.Invoke(SkinFramework::ApplyWindow, SkinFramework::Method,
                {static_cast<qint32>(window.winId())});
}
