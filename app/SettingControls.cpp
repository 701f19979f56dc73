#include "app/SettingControls.h"

#include <QSignalBlocker>

namespace app {

void CSettingControls::Bind(QLineEdit* edit, IniString IniSettings::*field)
{
    Add(edit, [=](const IniSettings& s) {
        edit->setText(QString::fromLocal8Bit(s.*field, static_cast<qsizetype>(IniStringLength(s.*field))));
    });
    QObject::connect(edit, &QLineEdit::textEdited, [this, field](const QString& text) {
        m_OnChange([field, value = text.toStdString()](IniSettings& s) { SetIniString(s.*field, value); });
    });
}

void CSettingControls::Show(const IniSettings& settings)
{
    for (size_t i = 0; i < m_Widgets.size(); ++i) {
        const QSignalBlocker quiet(m_Widgets[i]);
        m_Show[i](settings);
    }
}

void CSettingControls::SetEnabled(bool enabled)
{
    for (QWidget* w : m_Widgets) w->setEnabled(enabled);
}

void CSettingControls::Add(QWidget* widget, std::function<void(const IniSettings&)> show)
{
    m_Widgets.push_back(widget);
    m_Show.push_back(std::move(show));
}

}  // namespace app
