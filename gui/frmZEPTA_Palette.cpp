#include "gui/frmZEPTA.h"

#include "gui/EventIcon.h"
#include "platform/NumberText.h"

#include <QLabel>
#include <QPalette>
#include <QPlainTextEdit>

#include <exception>

namespace
{
QColor highlightColour(const QWidget* widget) { return widget->palette().color(QPalette::Active, QPalette::Highlight); }
QColor buttonFaceColour(const QWidget* widget) { return widget->palette().color(QPalette::Active, QPalette::Button); }
} // namespace

// Loads the palette of the configured category. A failing step is abandoned
// and the next one runs, so the palette shows whatever could be loaded.
void frmZEPTA::Load_Current_Event_Category()
{
    std::int16_t category = 0;
    try {
        category = Driver::Usable_Event_Category(); // a category that is not is named once
    } catch (const std::exception&) {
        category = 0;
    }

    try {
        label_Event_Category->setText(Driver::Get_Event_Category_Name(category));
    } catch (const std::exception&) {
        // the label keeps its text
    }

    // Null entries mark the slots no row filled: the catalogue never stores a
    // null name.
    Driver::SlotTexts names {};
    Driver::SlotTexts icons {};
    try {
        Driver::Load_Event_Mappings(category, mEventTypeIDs, names, icons);
    } catch (const std::exception&) {
        // the slots filled before the failing row stay filled
    }

    const QString iconFolder = Driver::shareFolder() + QStringLiteral("/Icons/");
    for (std::size_t i = 0; i < Driver::kPaletteSlots; ++i) {
        mSlotFilled[i] = !names[i].isNull();
        if (!Event_Icon[i]->loadPicture(iconFolder + icons[i]))
            Event_Icon[i]->loadPicture(iconFolder + QStringLiteral("not_found.ico"));
        Event_Label[i]->setText(names[i]);
    }

    Reset_Event_Selection();
}

void frmZEPTA::Event_Icon_GotFocus(std::int16_t index)
{
    if (index < 0 || index >= Driver::kPaletteSlots)
        return;
    if (mSelectedSlot >= 0 && mSelectedSlot < Driver::kPaletteSlots) {
        EventIcon* previous = Event_Icon[static_cast<std::size_t>(mSelectedSlot)];
        previous->setBackground(buttonFaceColour(previous));
    }
    EventIcon* chosen = Event_Icon[static_cast<std::size_t>(index)];
    chosen->setBackground(highlightColour(chosen));
    mSelectedSlot = index;
}

void frmZEPTA::Reset_Event_Selection()
{
    Unhighlight_Event_Icons();
    mSelectedSlot = -1;
    Notes->clear();
}

void frmZEPTA::Unhighlight_Event_Icons()
{
    for (EventIcon* icon : Event_Icon)
        icon->setBackground(buttonFaceColour(icon));
}
