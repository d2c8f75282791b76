#include "recipients/ui/AddressListModel.h"

void AddressListModel::setAddresses(RecipientAddresses addresses)
{
    beginResetModel();
    m_addresses = std::move(addresses);
    endResetModel();
}

int AddressListModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : m_addresses.count();
}

QVariant AddressListModel::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || index.column() != 0 || (role != Qt::DisplayRole && role != Qt::EditRole))
        return {};
    return m_addresses.at(index.row());
}
