#include "app/Dialogs.h"

#include <QApplication>
#include <QDir>
#include <QFileDialog>
#include <QMessageBox>
#include <QStringList>

namespace ardenvel::app {

BoxResult QtDialogs::messageBox(const std::string& text, const std::string& caption, BoxButtons buttons,
                                BoxIcon icon) {
    QMessageBox box(QApplication::activeWindow());
    // A box without a caption of its own carries the application's title.
    box.setWindowTitle(caption.empty() ? QApplication::applicationDisplayName()
                                       : QString::fromStdString(caption));
    box.setText(QString::fromStdString(text));
    switch (icon) {
        case BoxIcon::None: box.setIcon(QMessageBox::NoIcon); break;
        case BoxIcon::Error: box.setIcon(QMessageBox::Critical); break;
        case BoxIcon::Warning: box.setIcon(QMessageBox::Warning); break;
    }
    if (buttons == BoxButtons::YesNo) {
        box.setStandardButtons(QMessageBox::Yes | QMessageBox::No);
        box.setDefaultButton(QMessageBox::Yes);
        return box.exec() == QMessageBox::Yes ? BoxResult::Yes : BoxResult::No;
    }
    box.setStandardButtons(QMessageBox::Ok);
    box.exec();
    return BoxResult::Ok;
}

std::optional<std::string> QtDialogs::chooseOpenFile(const std::string& filter, const std::string& startDir) {
    const QString path = QFileDialog::getOpenFileName(QApplication::activeWindow(), QString(),
                                                      QString::fromStdString(startDir), qtFileFilter(filter));
    if (path.isEmpty()) return std::nullopt;
    // Qt answers with '/' everywhere; the status bar shows the path as the
    // platform writes it.
    return QDir::toNativeSeparators(path).toStdString();
}

QString qtFileFilter(const std::string& filter) {
    const QStringList parts = QString::fromStdString(filter).split(QLatin1Char('|'));
    QStringList entries;
    for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
        QString text = parts[i].trimmed();
        QString patterns = parts[i + 1].trimmed();
        patterns.replace(QLatin1Char(';'), QLatin1Char(' '));
        QStringList list = patterns.split(QLatin1Char(' '), Qt::SkipEmptyParts);
        for (QString& p : list)
            if (p == QLatin1String("*.*")) p = QStringLiteral("*");
        // The text may name its patterns already, as in "Log File (*.log)";
        // Qt reads them from the parentheses, so those must be the real ones.
        const qsizetype open = text.lastIndexOf(QLatin1Char('('));
        if (open > 0 && text.endsWith(QLatin1Char(')'))) text = text.left(open).trimmed();
        entries << text + QStringLiteral(" (") + list.join(QLatin1Char(' ')) + QLatin1Char(')');
    }
    return entries.join(QStringLiteral(";;"));
}

}  // namespace ardenvel::app
