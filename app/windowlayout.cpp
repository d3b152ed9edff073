// The window's geometry: the controls at their design positions (in device-independent pixels, so
// a scale factor moves none of them), the anchored ones following a resize, and the rows inside
// the two group boxes at their natural widths in a font that lets every caption fit.

#include "mainwindow.h"

#include "linklabel.h"

#include <QCheckBox>
#include <QFontInfo>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSpinBox>

namespace {

constexpr int progressHeight = 17;
constexpr int spinWidth = 42;
constexpr int timeWidth = 44;
constexpr int gap = 3; // between the widgets of a row

// Places the widgets left to right from x, each at its natural width unless a width is given,
// centred on the row's middle line.
void placeRow(int x, int middle, std::initializer_list<std::pair<QWidget *, int>> widgets)
{
    for (const auto &[widget, width] : widgets) {
        const QSize hint = widget->sizeHint();
        const int w = width > 0 ? width : hint.width();
        const int h = std::max(hint.height(), 0);
        widget->setGeometry(x, middle - h / 2, w, h);
        x += w + gap;
    }
}

// The room a push button leaves its caption: its frame and a little air on either side.
bool captionFits(const QPushButton *button)
{
    return button->fontMetrics().horizontalAdvance(button->text()) + 8 <= button->width();
}

} // namespace

QFont windowFont()
{
    // Tahoma where it is installed (Windows); elsewhere the nearest sans-serif face, tried in this
    // order. DejaVu Sans is drawn after the same model as Tahoma, only wider; fitFont() narrows it.
    QFont::insertSubstitutions(QStringLiteral("Tahoma"), {QStringLiteral("DejaVu Sans"), QStringLiteral("Liberation Sans"),
                                                          QStringLiteral("Noto Sans"), QStringLiteral("Arial")});
    QFont font(QStringLiteral("Tahoma"));
    font.setStyleHint(QFont::SansSerif);
    font.setPixelSize(11);
    return font;
}

void TMainForm::placeGroupRows()
{
    placeRow(8, 27,
             {{Label6, 0}, {MinDaysSpinEdit, spinWidth}, {Label7, 0}, {MaxDaysSpinEdit, spinWidth}, {Label8, 0}});
    placeRow(8, 50, {{Label9, 0}});
    placeRow(8, 27, {{Label10, 0}, {SkipDaysSpinEdit, spinWidth}, {Label11, 0}});
    placeRow(8, 50, {{Label12, 0}, {MaxResultsSpinEdit, spinWidth}, {Label13, 0}});
    const int right = std::max(Label11->geometry().right(), Label13->geometry().right()) + 12;
    placeRow(right, 27, {{AutoStartCheckBox, 0}});
    placeRow(right, 50, {{Label14, 0}, {TimeMaskEdit, timeWidth}});
}

bool TMainForm::captionsFit() const
{
    // Each group box's rows end inside its frame, and its title fits above them.
    for (const QGroupBox *box : {GroupBox1, GroupBox2}) {
        const int inner = box->width() - 6;
        if (box->fontMetrics().horizontalAdvance(box->title()) + 16 > inner)
            return false;
        for (const QWidget *child : box->findChildren<QWidget *>(Qt::FindDirectChildrenOnly)) {
            if (child->geometry().right() >= inner)
                return false;
        }
    }
    // "Регламенты" ends before "не фильтровать", which ends over the list.
    const auto natural = [](const QWidget *w) { return w->sizeHint().width(); };
    if (8 + natural(Label1) + gap > 82 || 82 + natural(Label15) > 8 + 157)
        return false;
    for (const QPushButton *button : {SelectAllCitiesButton, StartButton, PauseButton, StopButton}) {
        if (!captionFits(button))
            return false;
    }
    return true;
}

void TMainForm::fitFont()
{
    // The design's frames were drawn for Tahoma 11 px. A stand-in that runs wider is narrowed just
    // as far as the captions need, and only where the font engine cannot narrow it is it made
    // smaller; the widest try is kept when nothing fits.
    QFont f = font();
    for (int pixels = 11; pixels >= 9; --pixels) {
        for (int stretch = 100; stretch >= 70; stretch -= 2) {
            f.setPixelSize(pixels);
            f.setStretch(stretch);
            setFont(f);
            placeGroupRows();
            layOutControls();
            if (captionsFit())
                return;
        }
    }
    // Nothing fits (a face far wider than any stand-in): the design's size, unnarrowed.
    f.setPixelSize(11);
    f.setStretch(100);
    setFont(f);
    placeGroupRows();
}

void TMainForm::layOutControls()
{
    const int dw = width() - designWidth;
    const int dh = height() - designHeight;
    Label1->setGeometry(8, 8, Label1->sizeHint().width(), Label1->sizeHint().height());
    Label15->setGeometry(82, 13, Label15->sizeHint().width(), Label15->sizeHint().height());
    CitiesListBox->setGeometry(8, 27, 157, std::max(803 + dh, 0));
    SelectAllCitiesButton->setGeometry(110, 804 + dh, 41, 25);
    GroupBox1->setGeometry(171, 8, 258, 65);
    GroupBox2->setGeometry(435, 8, 478, 65);
    StartButton->setGeometry(919, 8, 194, 65);
    PauseButton->setGeometry(1125, 8, 75, 25);
    StopButton->setGeometry(1125, 47, 75, 25);
    LimitEdit->setGeometry(871, 79, 50, 21);
    Label2->setGeometry(171, 82, Label2->sizeHint().width(), Label2->sizeHint().height());
    LogsMemo->setGeometry(171, 101, std::max(1036 + dw, 0), std::max(729 + dh, 0));
    ProgressBar->setGeometry(0, height() - progressHeight, width(), progressHeight);
}

void TMainForm::resizeEvent(QResizeEvent *event)
{
    QWidget::resizeEvent(event);
    layOutControls();
}
