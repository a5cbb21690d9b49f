#include "app/qt/card_tooltips.h"

#include <QAbstractItemModel>
#include <QComboBox>

#include "devlink/card_names.h"

namespace kestrel::qt {

void install_card_tooltips(QComboBox* cards, platform::HidBackend* backend,
                           std::function<const qhidev_list*()> list) {
  if (!cards) return;
  // The window fills the list box right after discovery, so row r is the list's card r.
  QObject::connect(cards->model(), &QAbstractItemModel::rowsInserted, cards,
                   [cards, backend, list](const QModelIndex&, int first, int last) {
                     const qhidev_list* l = list();
                     for (int r = first; r <= last; ++r) {
                       const qhidev* d = l && r >= 0 && static_cast<uint32_t>(r) < l->count ? l->items[r].get() : nullptr;
                       if (d)
                         cards->setItemData(r, QString::fromStdString(card_names_tooltip(backend, *d)), Qt::ToolTipRole);
                     }
                   });
  QObject::connect(cards, &QComboBox::currentIndexChanged, cards, [cards](int index) {
    cards->setToolTip(index < 0 ? QString() : cards->itemData(index, Qt::ToolTipRole).toString());
  });
}

}  // namespace kestrel::qt
