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
