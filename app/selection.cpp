#include "selection.h"

#include <QListWidget>

void addRegulationItem(QListWidget *list, const QString &id, const QString &name)
{
    auto *item = new QListWidgetItem(name, list);
    item->setData(RegulationIdRole, id);
}

void RestoreSelection(QListWidget *list, const QStringList &names)
{
    for (int i = 0; i < list->count(); ++i) {
        QListWidgetItem *item = list->item(i);
        item->setSelected(names.contains(item->text(), Qt::CaseInsensitive));
    }
}

QStringList selectedTexts(const QListWidget *list)
{
    QStringList out;
    for (int i = 0; i < list->count(); ++i) {
        if (list->item(i)->isSelected())
            out.append(list->item(i)->text());
    }
    return out;
}

QStringList selectedIds(const QListWidget *list)
{
    QStringList out;
    for (int i = 0; i < list->count(); ++i) {
        if (list->item(i)->isSelected())
            out.append(list->item(i)->data(RegulationIdRole).toString());
    }
    return out;
}
