#pragma once
// The regulation list's selection: restoring it from selection.txt, and reading it back as item
// texts (for selection.txt) or attached ids (for a run).

#include <QStringList>

class QListWidget;

// The role under which an item carries its regulation id.
inline constexpr int RegulationIdRole = 0x0100; // Qt::UserRole

// Appends an item showing the regulation's display name and carrying its id.
void addRegulationItem(QListWidget *list, const QString &id, const QString &name);

// For each item, first to last: selected when its text equals one of the names without regard to
// letter case, otherwise deselected. Names that match no item are ignored.
void RestoreSelection(QListWidget *list, const QStringList &names);
// Texts of the selected items, in list order.
QStringList selectedTexts(const QListWidget *list);
// Ids attached to the selected items, in list order.
QStringList selectedIds(const QListWidget *list);
