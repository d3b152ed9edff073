// The window at 100 %, 150 % and 200 % scale (QT_SCALE_FACTOR), in the font that stands in for
// Tahoma here and in two wider ones: every control keeps its place and no caption is clipped. A
// scale factor is read once, when the application starts, so each case is a process of its own:
// this program started again with the factor set and only the disabled test below run.

#include "linklabel.h"
#include "windowtest.h"
#include "wine.h"

#include <QCheckBox>
#include <QFontDatabase>
#include <QFontInfo>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QSpinBox>
#include <iostream>

namespace {

const char *const fontVariable = "TAVROSIN_TEST_FONT";

int advance(const QWidget *w, const QString &text)
{
    return w->fontMetrics().horizontalAdvance(text);
}

} // namespace

TEST(WindowScale, EveryControlKeepsItsPlaceAndNoCaptionIsClipped)
{
    if (runningUnderWine())
        GTEST_SKIP() << "Qt's offscreen platform finds no fonts under Wine: widths measured there mean nothing";
    const QStringList families = QFontDatabase::families();
    for (const char *scale : {"1", "1.5", "2"}) {
        // "": whatever stands in for Tahoma on this machine; then faces wider than any usual one.
        for (const char *face : {"", "DejaVu Serif", "DejaVu Sans Mono"}) {
            if (*face && !families.contains(QString::fromLatin1(face)))
                continue;
            SCOPED_TRACE(std::string("scale ") + scale + ", font " + (*face ? face : "(the machine's)"));
            QProcess child;
            QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
            env.insert(QStringLiteral("QT_SCALE_FACTOR"), QString::fromLatin1(scale));
            env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
            env.insert(QString::fromLatin1(fontVariable), QString::fromLatin1(face));
            child.setProcessEnvironment(env);
            child.setProcessChannelMode(QProcess::MergedChannels);
            child.start(QCoreApplication::applicationFilePath(),
                        {QStringLiteral("--gtest_also_run_disabled_tests"),
                         QStringLiteral("--gtest_filter=WindowScale.DISABLED_AtThisProcessScale")});
            ASSERT_TRUE(child.waitForFinished(120000));
            const QString output = QString::fromUtf8(child.readAll());
            EXPECT_EQ(child.exitStatus(), QProcess::NormalExit);
            EXPECT_EQ(child.exitCode(), 0) << output.toStdString();
            EXPECT_TRUE(output.contains(u"[  PASSED  ] 1 test")) << output.toStdString();
        }
    }
}

// Run by the test above, once per scale and face.
TEST(WindowScale, DISABLED_AtThisProcessScale)
{
    const QString face = qEnvironmentVariable(fontVariable);
    if (!face.isEmpty())
        QFont::insertSubstitution(QStringLiteral("Tahoma"), face); // ahead of the window's own stand-ins
    QTemporaryDir dir;
    WindowRecord record;
    TMainForm form(windowOptions(dir.path(), record));
    showWithoutLogin(form);
    form.MaxResultsSpinEdit->setValue(3000); // four digits, as a user may set
    const QFontInfo used(form.font());
    std::cout << "scale " << qEnvironmentVariable("QT_SCALE_FACTOR").toStdString() << ": " << used.family().toStdString()
              << ", " << form.font().pixelSize() << " px, stretch " << form.font().stretch() << "\n";
    if (!face.isEmpty()) {
        EXPECT_EQ(used.family(), face) << "the face under test is in use";
    }
    EXPECT_EQ(form.StartButton->font().family(), form.font().family());

    // Every control at its design place, in device-independent pixels.
    form.setGeometry(0, 0, 1215, 853); // the design size, whatever this offscreen screen allows
    ASSERT_EQ(form.size(), QSize(1215, 853));
    const struct
    {
        const char *name;
        QRect at;
    } places[] = {
        {"CitiesListBox", {8, 27, 157, 769}},       {"SelectAllCitiesButton", {110, 770, 41, 25}},
        {"GroupBox1", {171, 8, 258, 65}},           {"GroupBox2", {435, 8, 478, 65}},
        {"StartButton", {919, 8, 194, 65}},         {"PauseButton", {1125, 8, 75, 25}},
        {"StopButton", {1125, 47, 75, 25}},         {"LogsMemo", {171, 101, 1036, 729}},
        {"ProgressBar", {0, 836, 1215, 17}},
    };
    for (const auto &p : places) {
        SCOPED_TRACE(p.name);
        EXPECT_EQ(form.findChild<QWidget *>(QString::fromLatin1(p.name))->geometry(), p.at);
    }
    EXPECT_EQ(form.Label1->pos(), QPoint(8, 8));
    EXPECT_EQ(form.Label15->pos(), QPoint(82, 13));
    EXPECT_EQ(form.Label2->pos(), QPoint(171, 82));

    // Labels and the check box show their whole text; "Регламенты" ends before "не фильтровать",
    // which ends before the first group box.
    for (QLabel *label : form.findChildren<QLabel *>()) {
        SCOPED_TRACE(label->objectName().toStdString());
        EXPECT_GE(label->width(), advance(label, label->text()));
        EXPECT_GE(label->height(), label->fontMetrics().height());
    }
    EXPECT_LT(form.Label1->geometry().right(), form.Label15->geometry().left());
    EXPECT_LT(form.Label15->geometry().right(), form.GroupBox1->geometry().left());
    EXPECT_GE(form.AutoStartCheckBox->width(), form.AutoStartCheckBox->sizeHint().width());
    for (QPushButton *button : {form.SelectAllCitiesButton, form.StartButton, form.PauseButton, form.StopButton}) {
        SCOPED_TRACE(button->objectName().toStdString());
        EXPECT_LE(advance(button, button->text()) + 4, button->width());
        EXPECT_LE(button->fontMetrics().height(), button->height());
    }
    EXPECT_LE(advance(form.PauseButton, QStringLiteral("продолжить")) + 4, form.PauseButton->width())
        << "the caption it has while a run is held";
    form.MinDaysSpinEdit->setValue(99); // reversed: the hint shows beside "Логи", before the log
    EXPECT_FALSE(form.IntervalHintLabel->isHidden());
    EXPECT_GE(form.IntervalHintLabel->width(), advance(form.IntervalHintLabel, form.IntervalHintLabel->text()));
    EXPECT_LT(form.IntervalHintLabel->geometry().bottom(), form.LogsMemo->geometry().top());
    EXPECT_GT(form.IntervalHintLabel->geometry().left(), form.Label2->geometry().right());

    // Inside each group box: the title above the rows, every control within the frame, none over
    // another, and the numbers and the time whole in their fields.
    for (QGroupBox *box : {form.GroupBox1, form.GroupBox2}) {
        SCOPED_TRACE(box->objectName().toStdString());
        EXPECT_LE(advance(box, box->title()) + 8, box->width());
        const QList<QWidget *> children = box->findChildren<QWidget *>(Qt::FindDirectChildrenOnly);
        for (qsizetype i = 0; i < children.size(); ++i) {
            SCOPED_TRACE(children[i]->objectName().toStdString());
            EXPECT_TRUE(box->rect().adjusted(2, 2, -2, -2).contains(children[i]->geometry()))
                << "at " << children[i]->geometry().x() << "," << children[i]->geometry().y() << " width "
                << children[i]->width();
            for (qsizetype j = i + 1; j < children.size(); ++j) {
                EXPECT_FALSE(children[i]->geometry().intersects(children[j]->geometry()))
                    << "over " << children[j]->objectName().toStdString();
            }
        }
    }
    for (QSpinBox *spin : {form.MinDaysSpinEdit, form.MaxDaysSpinEdit, form.SkipDaysSpinEdit, form.MaxResultsSpinEdit}) {
        SCOPED_TRACE(spin->objectName().toStdString());
        const QLineEdit *field = spin->findChild<QLineEdit *>();
        ASSERT_NE(field, nullptr);
        EXPECT_LE(advance(field, spin->text()), field->width());
    }
    EXPECT_LE(advance(form.TimeMaskEdit, QStringLiteral("00:00")) + 4, form.TimeMaskEdit->width());
}
