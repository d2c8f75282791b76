#include "windowkit/LayoutRules.h"

TextViewerLayout textViewerLayout(int outerWidth, int outerHeight)
{
    const int dW = outerWidth > TextViewerBaseWidth ? outerWidth - TextViewerBaseWidth : 0;
    const int dH = outerHeight > TextViewerBaseHeight ? outerHeight - TextViewerBaseHeight : 0;
    TextViewerLayout l;
    l.text1 = {120, 120, 8055 + dW, 2655 + dH};
    l.command1 = {6480 + dW, 3000 + dH, 1575, 375};
    return l;
}

MainWindowLayout mainWindowLayout(int outerWidth, int outerHeight)
{
    const int dW = outerWidth > MainWindowBaseWidth ? outerWidth - MainWindowBaseWidth : 0;
    const int dH = outerHeight > MainWindowBaseHeight ? outerHeight - MainWindowBaseHeight : 0;
    MainWindowLayout l;
    l.text1 = {1680, 120, 5415 + dW, 375};
    l.text2 = {1680, 600, 5415 + dW, 375};
    l.text3 = {720, 1800, 6375 + dW, 375};
    l.text4 = {120, 2760, 6975 + dW, 2295 + dH};
    l.text5 = {1320, 5160 + dH, 5775 + dW, 615};
    l.line1Right = 7080 + dW;
    l.combo1 = {1680, 1080, 3855 + dW, 300};
    l.command5 = {5640 + dW, 1080, 1455, 375};
    // The send button's design left (4440) never shows: the rule places it at 4400 from the start.
    l.command1 = {4400 + dW, 5880 + dH, 1215, 375};
    l.command3 = {5880 + dW, 5880 + dH, 1215, 375};
    l.command4 = {120, 5160 + dH, 1095, 375};
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
