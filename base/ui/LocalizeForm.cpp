#include "LocalizeForm.h"

#include <QAbstractButton>
#include <QAction>
#include <QFontDatabase>
#include <QGroupBox>
#include <QLabel>
#include <QMenu>
#include <QTabBar>
#include <QTabWidget>
#include <QTreeWidget>
#include <QVariant>
#include <QWidget>

#include "UiResources.h"

namespace kvr {
namespace {

long IdOf(const QObject* o, const char* name) {
    const QVariant v = o->property(name);
    if (!v.isValid()) return 0;
    bool ok = false;
    const long id = static_cast<long>(v.toLongLong(&ok));
    return ok ? id : 0;
}

std::vector<long> IdsOf(const QObject* o, const char* name) {
    std::vector<long> ids;
    const QVariant v = o->property(name);
    if (!v.isValid()) return ids;
    for (const QVariant& e : v.toList()) {
        bool ok = false;
        const long id = static_cast<long>(e.toLongLong(&ok));
        ids.push_back(ok ? id : 0);
    }
    return ids;
}

void SetCaption(QObject* o, const QString& text) {
    if (auto* w = qobject_cast<QWidget*>(o); w && w->isWindow()) w->setWindowTitle(text);
    else if (auto* label = qobject_cast<QLabel*>(o)) label->setText(text);
    else if (auto* button = qobject_cast<QAbstractButton*>(o)) button->setText(text);
    else if (auto* group = qobject_cast<QGroupBox*>(o)) group->setTitle(text);
    else if (auto* menu = qobject_cast<QMenu*>(o)) menu->setTitle(text);
    else if (auto* action = qobject_cast<QAction*>(o)) action->setText(text);
}

void SetToolTip(QObject* o, const QString& text) {
    if (auto* w = qobject_cast<QWidget*>(o)) w->setToolTip(text);
    else if (auto* action = qobject_cast<QAction*>(o)) action->setToolTip(text);
}

void LocalizeTabs(QTabBar* bar, const std::vector<long>& texts, const std::vector<long>& tips,
                  const TextLookup& lookup) {
    for (int i = 0; i < bar->count(); ++i) {
        if (i < static_cast<int>(texts.size()) && texts[i] != 0) bar->setTabText(i, lookup(texts[i]));
        if (i < static_cast<int>(tips.size()) && tips[i] != 0) bar->setTabToolTip(i, lookup(tips[i]));
    }
}

void LocalizeObject(QObject* o, const TextLookup& lookup) {
    if (const long id = IdOf(o, "textId"); id != 0) SetCaption(o, lookup(id));
    if (const long id = IdOf(o, "toolTipId"); id != 0) SetToolTip(o, lookup(id));
    if (auto* label = qobject_cast<QLabel*>(o)) {
        if (const long id = IdOf(o, "pictureId"); id != 0) {
            const QPixmap pm = ResPicture(id);
            if (!pm.isNull()) label->setPixmap(pm);
        }
    }
    if (auto* tree = qobject_cast<QTreeWidget*>(o)) {
        const std::vector<long> ids = IdsOf(o, "columnTextIds");
        QTreeWidgetItem* header = tree->headerItem();
        for (int i = 0; header && i < static_cast<int>(ids.size()) && i < tree->columnCount(); ++i)
            if (ids[i] != 0) header->setText(i, lookup(ids[i]));
    }
    if (auto* bar = qobject_cast<QTabBar*>(o)) LocalizeTabs(bar, IdsOf(o, "tabTextIds"), IdsOf(o, "tabToolTipIds"), lookup);
    if (auto* tabs = qobject_cast<QTabWidget*>(o)) {
        const std::vector<long> texts = IdsOf(o, "tabTextIds");
        const std::vector<long> tips = IdsOf(o, "tabToolTipIds");
        for (int i = 0; i < tabs->count(); ++i) {
            if (i < static_cast<int>(texts.size()) && texts[i] != 0) tabs->setTabText(i, lookup(texts[i]));
            if (i < static_cast<int>(tips.size()) && tips[i] != 0) tabs->setTabToolTip(i, lookup(tips[i]));
        }
    }
}

}  // namespace

void LocalizeForm(QWidget* form) {
    LocalizeForm(form, [](long id) { return ResText(id); });
}

void LocalizeForm(QWidget* form, const TextLookup& lookup) {
    if (!form) return;
    // The form's font: family of text 20 when this system has it, size of text 21.
    // Children inherit it.
    QFont font = form->font();
    const QString family = lookup(20).trimmed();
    if (!family.isEmpty() && QFontDatabase::hasFamily(family)) font.setFamily(family);
    bool ok = false;
    const double size = lookup(21).trimmed().toDouble(&ok);
    if (ok && size >= 6 && size <= 72) font.setPointSizeF(size);
    form->setFont(font);

    LocalizeObject(form, lookup);
    for (QObject* o : form->findChildren<QObject*>()) LocalizeObject(o, lookup);
}

}  // namespace kvr
