#include "LayoutRules.h"

TextViewerLayout textViewerLayout(int outerWidth, int outerHeight)
{
    const int dW = outerWidth > TextViewerBaseWidth ? outerWidth - TextViewerBaseWidth : 0;
    const int dH = outerHeight > TextViewerBaseHeight ? outerHeight - TextViewerBaseHeight : 0;
    TextViewerLayout l;
    l.text1 = {120, 120, 8055 + dW, 2655 + dH};
    l.command1 = {6480 + dW, 3000 + dH, 1575, 375};
    return l;
}

RecipientListLayout recipientListLayout(int outerWidth, int outerHeight)
{
    const int dW = outerWidth > RecipientListBaseWidth ? outerWidth - RecipientListBaseWidth : 0;
    const int dH = outerHeight > RecipientListBaseHeight ? outerHeight - RecipientListBaseHeight : 0;
    RecipientListLayout l;
    l.grid = {120, 120, 6855 + dW, 3735 + dH};
    l.command1 = {5400 + dW, 4080 + dH, 1575, 375};
    l.command2 = {3600 + dW, 4080 + dH, 1575, 375};
    l.command4 = {120, 3960 + dH, 3255, 255};
    l.command5 = {120, 4200 + dH, 3255, 255};
    return l;
}
