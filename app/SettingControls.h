#pragma once
// Ties the window's setting controls to the fields of IniSettings they edit:
// shows a settings record in the controls, and turns each edit of a control into
// a change of its one field, handed to `onChange` (the window posts it to the
// engine). Showing a record never reports changes.
#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QRadioButton>
#include <functional>
#include <vector>

#include "config/IniSettings.h"

namespace app {

using SettingsChange = std::function<void(IniSettings&)>;

class CSettingControls {
public:
    explicit CSettingControls(std::function<void(SettingsChange)> onChange) : m_OnChange(std::move(onChange)) {}

    // A check box: the field is 1 when ticked, 0 otherwise.
    template <class T>
    void Bind(QCheckBox* box, T IniSettings::*field)
    {
        Add(box, [=](const IniSettings& s) { box->setChecked(s.*field != 0); });
        QObject::connect(box, &QCheckBox::toggled, [this, field](bool on) {
            m_OnChange([=](IniSettings& s) { s.*field = on ? 1 : 0; });
        });
    }
    // A radio button of a pair: ticking it sets its field to 1 and `other` to 0.
    template <class T>
    void BindRadio(QRadioButton* button, T IniSettings::*field, T IniSettings::*other)
    {
        Add(button, [=](const IniSettings& s) { button->setChecked(s.*field != 0); });
        QObject::connect(button, &QRadioButton::toggled, [this, field, other](bool on) {
            if (on) m_OnChange([=](IniSettings& s) { s.*field = 1, s.*other = 0; });
        });
    }
    // A selection list: the field is the selected index.
    template <class T>
    void Bind(QComboBox* list, T IniSettings::*field)
    {
        Add(list, [=](const IniSettings& s) { list->setCurrentIndex(static_cast<int>(s.*field)); });
        QObject::connect(list, &QComboBox::currentIndexChanged, [this, field](int index) {
            if (index >= 0) m_OnChange([=](IniSettings& s) { s.*field = static_cast<T>(index); });
        });
    }
    // A text field; texts longer than the field holds are cut by SetIniString.
    void Bind(QLineEdit* edit, IniString IniSettings::*field);

    // Shows `settings` in every bound control.
    void Show(const IniSettings& settings);
    void SetEnabled(bool enabled);
    const std::vector<QWidget*>& Widgets() const { return m_Widgets; }

private:
    void Add(QWidget* widget, std::function<void(const IniSettings&)> show);

    std::function<void(SettingsChange)> m_OnChange;
    std::vector<QWidget*> m_Widgets;
    std::vector<std::function<void(const IniSettings&)>> m_Show;
};

}  // namespace app
