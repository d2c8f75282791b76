#pragma once

#include "recipients/AddressCheck.h"

#include <QAbstractListModel>

// The loaded recipients' addresses as the items of a drop-down. Each text is made when the view
// asks for it, so a list of a million rows costs the view nothing per row.
class AddressListModel : public QAbstractListModel
{
  public:
    using QAbstractListModel::QAbstractListModel;

    void setAddresses(RecipientAddresses addresses);
    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;

  private:
    RecipientAddresses m_addresses;
};
