// The window's geometry: the controls at their design positions (in device-independent pixels, so
// a scale factor moves none of them), the anchored ones following a resize, and the rows inside
// the two group boxes at their natural widths in a font that lets every caption fit.

#include "mainwindow.h"

#include "linklabel.h"
#include "windowplacement.h"

#include <QCheckBox>
#include <QFontInfo>
#include <QGroupBox>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QSpinBox>
#include <QStyle>
#include <QStyleOptionSpinBox>
#include <QWindow>

namespace {

constexpr int progressHeight = 17;
// Room under the list for the selection count and the hint on selecting several.
constexpr int underList = 34;
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

int TMainForm::spinWidth() const
{
    // As a spin box sizes itself for its range, but for the widest value shown (at least four
    // digits, so 3000 reads "3000"): the full range of a whole number would leave no room.
    const QFontMetrics metrics = MinDaysSpinEdit->fontMetrics();
    int text = metrics.horizontalAdvance(QStringLiteral("0000"));
    for (const QSpinBox *spin : {MinDaysSpinEdit, MaxDaysSpinEdit, SkipDaysSpinEdit, MaxResultsSpinEdit})
        text = std::max(text, metrics.horizontalAdvance(spin->text()));
    QStyleOptionSpinBox option;
    option.initFrom(MinDaysSpinEdit);
    option.frame = true;
    option.buttonSymbols = MinDaysSpinEdit->buttonSymbols();
    option.subControls = QStyle::SC_SpinBoxFrame | QStyle::SC_SpinBoxEditField | QStyle::SC_SpinBoxUp |
                         QStyle::SC_SpinBoxDown;
    const QSize content(text + 2 + 2, metrics.height()); // the cursor's room and a pixel either side
    return MinDaysSpinEdit->style()->sizeFromContents(QStyle::CT_SpinBox, &option, content, MinDaysSpinEdit).width();
}

void TMainForm::placeGroupRows()
{
    const int spin = spinWidth();
    placeRow(8, 27, {{Label6, 0}, {MinDaysSpinEdit, spin}, {Label7, 0}, {MaxDaysSpinEdit, spin}, {Label8, 0}});
    placeRow(8, 50, {{Label9, 0}});
    placeRow(8, 27, {{Label10, 0}, {SkipDaysSpinEdit, spin}, {Label11, 0}});
    placeRow(8, 50, {{Label12, 0}, {MaxResultsSpinEdit, spin}, {Label13, 0}});
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
    // The pause button's other caption, while a run is held.
    if (PauseButton->fontMetrics().horizontalAdvance(QStringLiteral("продолжить")) + 8 > PauseButton->width())
        return false;
    // The selection's count and hint under the list.
    for (const QLabel *label : {SelectionCountLabel, SelectionHintLabel}) {
        if (natural(label) > 157)
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
    // The list ends above its count and hint; "все" keeps to the list's lower right corner.
    CitiesListBox->setGeometry(8, 27, 157, std::max(803 - underList + dh, 0));
    SelectAllCitiesButton->setGeometry(110, 804 - underList + dh, 41, 25);
    const int under = 27 + 803 - underList + dh;
    SelectionCountLabel->setGeometry(8, under + 2, 157, SelectionCountLabel->sizeHint().height());
    SelectionHintLabel->setGeometry(8, under + 2 + SelectionCountLabel->sizeHint().height(), 157,
                                    SelectionHintLabel->sizeHint().height());
    GroupBox1->setGeometry(171, 8, 258, 65);
    GroupBox2->setGeometry(435, 8, 478, 65);
    StartButton->setGeometry(919, 8, 194, 65);
    PauseButton->setGeometry(1125, 8, 75, 25);
    StopButton->setGeometry(1125, 47, 75, 25);
    LimitEdit->setGeometry(871, 79, 50, 21);
    Label2->setGeometry(171, 82, Label2->sizeHint().width(), Label2->sizeHint().height());
    // Under the interval's frame, beside "Логи", while the interval is reversed.
    IntervalHintLabel->move(171 + Label2->sizeHint().width() + 16, 82);
    LogsMemo->setGeometry(171, 101, std::max(1036 + dw, 0), std::max(729 + dh, 0));
    ProgressBar->setGeometry(0, height() - progressHeight, width(), progressHeight);
}

void TMainForm::resizeEvent(QResizeEvent *event)
{
    QWidget::resizeEvent(event);
    layOutControls();
    if (!(windowState() & (Qt::WindowMaximized | Qt::WindowMinimized | Qt::WindowFullScreen)))
        m_normalGeometry = geometry();
}

void TMainForm::moveEvent(QMoveEvent *event)
{
    QWidget::moveEvent(event);
    if (!(windowState() & (Qt::WindowMaximized | Qt::WindowMinimized | Qt::WindowFullScreen)))
        m_normalGeometry = geometry();
}

void TMainForm::placeOnScreen()
{
    const WindowGeometry saved = readWindowGeometry(m_options.dataDir);
    std::optional<QRect> savedRect;
    if (saved.present)
        savedRect = QRect(saved.left, saved.top, saved.width, saved.height);
    // The screen it was on, if that is still there; else the one it opens on.
    QScreen *target = savedRect ? QGuiApplication::screenAt(savedRect->center()) : nullptr;
    if (!target)
        target = screen();
    if (!target)
        return;
    // Known before the window is mapped on Windows; on X11 only once a window manager has framed
    // it, so there the frame is taken as none and the window manager keeps the title bar on screen.
    QMargins frame;
    if (const QWindow *handle = windowHandle())
        frame = handle->frameMargins();
    setGeometry(placeWindow(target->availableGeometry(), frame, minimumSize(), QSize(designWidth, designHeight),
                            savedRect));
    m_normalGeometry = geometry();
    if (saved.present && saved.maximized)
        setWindowState(windowState() | Qt::WindowMaximized);
}

WindowGeometry TMainForm::currentGeometry() const
{
    const bool maximized = windowState() & Qt::WindowMaximized;
    // Maximized, the rectangle it returns to is kept.
    const QRect normal = maximized && !m_normalGeometry.isEmpty() ? m_normalGeometry : geometry();
    WindowGeometry g;
    g.present = true;
    g.left = normal.x();
    g.top = normal.y();
    g.width = normal.width();
    g.height = normal.height();
    g.maximized = maximized;
    return g;
}
