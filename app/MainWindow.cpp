// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/MainWindow.h"

#include "app/BatchRun.h"
#include "app/ConversionReport.h"
#include "app/PictureList.h"
#include "app/PreviewBox.h"
#include "client/Desktop.h"
#include "client/FileLookup.h"
#include "client/OutputFolder.h"
#include "client/PictureEngine.h"
#include "core/BatchPlan.h"
#include "core/Naming.h"
#include "core/Parsefn.h"
#include "core/TwipsLayout.h"

#include <QApplication>
#include <QButtonGroup>
#include <QCloseEvent>
#include <QDialog>
#include <QDir>
#include <QKeyEvent>
#include <QLabel>
#include <QPainter>
#include <QPointer>
#include <QPushButton>
#include <QScreen>
#include <QShortcut>
#include <QTimer>

#include <algorithm>

namespace {
// The window's client area in twips; every control's place is kept in twips too and scaled with it.
const QRect designTwips(0, 0, 12675, 7320);
const QSize designSize = TwipsLayout::scaled(designTwips, 1.0).size();
// Room for the title bar and borders, which Qt learns only once the window is on screen: a guess on the
// generous side of common desktops' frames.
const QSize frameAllowance(16, 48);
// As small as the window goes: 1024x768 at 200% needs about 0.56 of the design; below half the
// captions are clipped past reading.
constexpr double smallestScale = 0.5;
// Chinese captions stay legible down to about 9 device pixels (7 points at 96 dpi), not below; on a
// scaled screen a logical pixel is several device pixels, and a floor in logical ones clipped the
// captions of 1024x768 at 200%.
constexpr qreal smallestPointSize = 7.0;
constexpr qreal smallestPixelSize = 9.0;

struct FormatButtonPlace {
    OutputFormat::Index format;
    int top;
};

// Top to bottom the buttons read BMP, JPG, GIF, PCX, PNG, ICO, TIFF; listed here by their tab order.
constexpr std::array<FormatButtonPlace, OutputFormat::Count> formatButtonPlaces{{
    {OutputFormat::Tiff, 4860},
    {OutputFormat::Ico, 4170},
    {OutputFormat::Jpg, 1410},
    {OutputFormat::Bmp, 720},
    {OutputFormat::Gif, 2100},
    {OutputFormat::Pcx, 2790},
    {OutputFormat::Png, 3480},
}};

const QColor listBackground(26, 142, 255);

QLabel* makeLabel(QWidget* parent, const QString& name, const QString& caption, const QColor& textColour)
{
    auto* label = new QLabel(caption, parent);
    label->setObjectName(name);
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, textColour);
    label->setPalette(palette);
    return label;
}

QPushButton* makeButton(QWidget* parent, const QString& name, const QString& caption)
{
    auto* button = new QPushButton(caption, parent);
    button->setObjectName(name);
    button->setAutoDefault(false);
    return button;
}

const FileFilter openFilter{
    QStringLiteral("所有支持的格式(*.bmp;*.jpg;*.gif;*.pcx;*.ico;*.png;*.tiff;)"),
    {QStringLiteral("*.bmp"), QStringLiteral("*.jpg"), QStringLiteral("*.gif"), QStringLiteral("*.pcx"),
     QStringLiteral("*.ico"), QStringLiteral("*.png"), QStringLiteral("*.tiff")},
};

// Where the dialogs start: the folder of the last pictures opened, the last output folder; kept
// across runs.
const QString pictureFolderKey = QStringLiteral("folders/pictures");
const QString outputFolderKey = QStringLiteral("folders/output");

// What a folder dropped on the list adds: the pictures directly in it, by name.
const QStringList droppedFolderPatterns{QStringLiteral("*.bmp"),  QStringLiteral("*.jpg"),  QStringLiteral("*.jpeg"),
                                        QStringLiteral("*.gif"),  QStringLiteral("*.pcx"),  QStringLiteral("*.ico"),
                                        QStringLiteral("*.png"),  QStringLiteral("*.tif"),  QStringLiteral("*.tiff"),
                                        QStringLiteral("*.webp"), QStringLiteral("*.heic"), QStringLiteral("*.tga")};

const FileFilter addFilter{
    QStringLiteral("所有支持的格式(*.bmp;*.jpg;*.gif;*.pcx;*.ico)"),
    {QStringLiteral("*.bmp"), QStringLiteral("*.jpg"), QStringLiteral("*.gif"), QStringLiteral("*.pcx"),
     QStringLiteral("*.ico")},
};
} // namespace

MainWindow::MainWindow(Desktop& desktop, PictureEngine& engine, QWidget* parent)
    : QWidget(parent)
    , m_desktop(desktop)
    , m_engine(engine)
    , m_background(QStringLiteral(":/background.jpg"))
{
    setObjectName(QStringLiteral("Form1"));
    setWindowTitle(QStringLiteral("Kalvorin"));
    // It only shrinks: the background picture would blur and the captions grow past what the design
    // meant, while Qt already scales the whole window on a high-density screen.
    setMinimumSize(TwipsLayout::scaled(designSize, smallestScale));
    setMaximumSize(designSize);
    buildControls();
    setTabOrder();
    updateControls();
    fitToScreen();
}

MainWindow::~MainWindow() = default;

void MainWindow::buildControls()
{
    m_pictureList = new PictureList(this);
    m_pictureList->setObjectName(QStringLiteral("List1"));
    setTwipsGeometry(m_pictureList, {1920, 720, 2535, 6180});
    QPalette listPalette = m_pictureList->palette();
    listPalette.setColor(QPalette::Base, listBackground);
    listPalette.setColor(QPalette::Text, Qt::white);
    // The default highlight is nearly the list's own blue; the chosen entry must stand out.
    listPalette.setColor(QPalette::Highlight, QColor(8, 48, 120));
    listPalette.setColor(QPalette::HighlightedText, Qt::white);
    m_pictureList->setPalette(listPalette);
    connect(m_pictureList, &PictureList::selectionChosen, this, &MainWindow::select);
    connect(m_pictureList, &PictureList::deleteRequested, this, &MainWindow::deleteEntry);
    connect(m_pictureList, &PictureList::pathsDropped, this, &MainWindow::addDropped);

    setTwipsGeometry(makeLabel(this, QStringLiteral("Label1"), QStringLiteral("文件列表："), Qt::white),
                     {1920, 480, 1095, 255});
    setTwipsGeometry(makeLabel(this, QStringLiteral("Label2"), QStringLiteral("图片预览 ："), Qt::white),
                     {4560, 480, 1335, 255});
    m_folderLabel = makeLabel(this, QStringLiteral("Label3"), QStringLiteral("无"), Qt::black);
    setTwipsGeometry(m_folderLabel, {2880, 7560, 8295, 375});
    m_folderLabel->setVisible(false);

    m_viewButton = makeButton(this, QStringLiteral("CmdCha"), QStringLiteral("立即查看"));
    setTwipsGeometry(m_viewButton, {120, 3060, 1395, 495});
    connect(m_viewButton, &QPushButton::clicked, this, &MainWindow::view);

    m_openButton = makeButton(this, QStringLiteral("Command7"), QStringLiteral("打开图片"));
    setTwipsGeometry(m_openButton, {120, 720, 1395, 555});
    connect(m_openButton, &QPushButton::clicked, this, &MainWindow::open);
    m_deleteButton = makeButton(this, QStringLiteral("Command1"), QStringLiteral("删除图片"));
    setTwipsGeometry(m_deleteButton, {120, 1500, 1395, 555});
    connect(m_deleteButton, &QPushButton::clicked, this, &MainWindow::deleteEntry);
    m_addButton = makeButton(this, QStringLiteral("Command2"), QStringLiteral("添加图片"));
    setTwipsGeometry(m_addButton, {120, 2280, 1395, 555});
    connect(m_addButton, &QPushButton::clicked, this, &MainWindow::add);

    m_formatButtons = new QButtonGroup(this);
    for (const FormatButtonPlace& place : formatButtonPlaces) {
        QPushButton* button =
            makeButton(this, QStringLiteral("zhuanhuan_%1").arg(place.format), OutputFormat::caption(place.format));
        setTwipsGeometry(button, {11085, place.top, 1335, 555});
        m_formatButtons->addButton(button, place.format);
    }
    connect(m_formatButtons, &QButtonGroup::idClicked, this, &MainWindow::convert);

    m_preview = new PreviewBox(this);
    m_preview->setObjectName(QStringLiteral("Picture1"));
    setTwipsGeometry(m_preview, {4620, 720, 6255, 6195});

    // Ctrl+O opens pictures as the button does, and only when the button could be pressed.
    auto* openShortcut = new QShortcut(QKeySequence::Open, this);
    connect(openShortcut, &QShortcut::activated, this, [this] {
        if (m_openButton->isEnabled())
            m_openButton->click();
    });
    // Enter presses the focused button, as Space does.
    for (QPushButton* button : findChildren<QPushButton*>())
        button->installEventFilter(this);
    connect(qApp, &QApplication::focusChanged, this, qOverload<>(&QWidget::update));
}

bool MainWindow::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() == QEvent::KeyPress) {
        const auto* key = static_cast<QKeyEvent*>(event);
        auto* button = qobject_cast<QPushButton*>(watched);
        if (button && button->isEnabled() && key->modifiers() == Qt::NoModifier &&
            (key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter)) {
            button->animateClick();
            return true;
        }
    }
    return QWidget::eventFilter(watched, event);
}

void MainWindow::setTabOrder()
{
    QList<QWidget*> order{m_pictureList, m_viewButton, m_openButton, m_deleteButton, m_addButton};
    for (const FormatButtonPlace& place : formatButtonPlaces)
        order.append(m_formatButtons->button(place.format));
    for (qsizetype i = 1; i < order.size(); ++i)
        QWidget::setTabOrder(order[i - 1], order[i]);
}

void MainWindow::setTwipsGeometry(QWidget* control, const QRect& twips)
{
    m_twipsPlaces.append({control, twips});
    control->setGeometry(TwipsLayout::scaled(twips, m_scale).translated(m_origin));
}

void MainWindow::fitToScreen()
{
    const double scale = TwipsLayout::fittedScale(designSize, screen()->availableGeometry().size() - frameAllowance);
    resize(TwipsLayout::scaled(designSize, std::max(scale, smallestScale)));
    // A hidden window gets its resize event only when shown; the controls are in place before that.
    scaleLayout();
}

void MainWindow::scaleLayout()
{
    m_scale = TwipsLayout::fittedScale(designSize, size());
    const QSize used = TwipsLayout::scaled(designSize, m_scale);
    // The proportions stay; what is left over goes in equal bands on both sides.
    m_origin = QPoint((width() - used.width()) / 2, (height() - used.height()) / 2);
    for (const TwipsPlace& place : std::as_const(m_twipsPlaces))
        place.control->setGeometry(TwipsLayout::scaled(place.twips, m_scale).translated(m_origin));

    // At the design size the window keeps the font it inherits, as it always had.
    QFont scaledFont;
    if (m_scale < 1.0) {
        const QFont designFont = QApplication::font(this);
        const qreal density = devicePixelRatioF();
        if (designFont.pointSizeF() > 0)
            scaledFont.setPointSizeF(
                TwipsLayout::scaledFontSize(designFont.pointSizeF(), m_scale, smallestPointSize, density));
        else
            scaledFont.setPixelSize(
                qRound(TwipsLayout::scaledFontSize(designFont.pixelSize(), m_scale, smallestPixelSize, density)));
    }
    setFont(scaledFont);

    // Scaled to cover the whole window, letterbox bands included; at the design size it is drawn at its
    // own size from the top-left corner and the window shows only part of it.
    const double cover =
        m_background.isNull()
            ? 1.0
            : std::max({m_scale, double(width()) / m_background.width(), double(height()) / m_background.height()});
    m_scaledBackground = cover == 1.0 ? m_background
                                      : m_background.scaled(TwipsLayout::scaled(m_background.size(), cover),
                                                            Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    update();
}

void MainWindow::resizeEvent(QResizeEvent* event)
{
    QWidget::resizeEvent(event);
    scaleLayout();
}

void MainWindow::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.drawImage(QPoint(0, 0), m_scaledBackground);
    // The style draws no focus on these buttons over the picture: a white ring around the one that
    // has it shows where Enter and Space go.
    if (auto* button = qobject_cast<QPushButton*>(focusWidget()); button && button->parentWidget() == this) {
        painter.setPen(QPen(Qt::white, 2));
        painter.drawRect(button->geometry().adjusted(-2, -2, 1, 1));
    }
}

void MainWindow::open()
{
    pickPictures(openFilter, true);
}

void MainWindow::add()
{
    pickPictures(addFilter, false);
}

void MainWindow::pickPictures(const FileFilter& filter, bool replaceList)
{
    const std::optional<QString> result = m_desktop.openFiles(this, filter, m_desktop.remembered(pictureFolderKey));
    if (!result)
        return;
    m_pickedParts = Parsefn(*result);
    m_desktop.remember(pictureFolderKey, QDir::cleanPath(m_pickedParts.first()));
    if (replaceList)
        m_pictureList->clearEntries();
    const QString folder = m_pickedParts.first();
    m_folderLabel->setText(folder);
    QStringList entries;
    entries.reserve(m_pickedParts.size() - 1);
    for (qsizetype i = 1; i < m_pickedParts.size(); ++i)
        entries.append(folder + m_pickedParts[i]);
    m_pictureList->addEntries(entries);
}

void MainWindow::addDropped(const QStringList& paths)
{
    // Appended as "添加图片" appends: files as they are, folders by the pictures in them.
    QStringList entries;
    for (const QString& path : paths) {
        const QFileInfo info(path);
        if (!info.isDir()) {
            entries.append(QDir::cleanPath(path));
            continue;
        }
        const QDir folder(path);
        for (const QString& name :
             folder.entryList(droppedFolderPatterns, QDir::Files, QDir::Name | QDir::IgnoreCase | QDir::LocaleAware))
            entries.append(folder.filePath(name));
    }
    m_pictureList->addEntries(entries);
}

void MainWindow::addFiles(const QStringList& paths)
{
    QStringList absolute;
    for (const QString& path : paths)
        absolute.append(QFileInfo(path).absoluteFilePath());
    if (!absolute.isEmpty())
        addDropped(absolute);
}

void MainWindow::select(int index)
{
    // Recorded before the picture loads, so an entry that cannot be shown can still be deleted.
    m_selectedIndex = index;
    showPreviewOf(index);
}

void MainWindow::showPreviewOf(int index)
{
    const QString path = m_pictureList->entryText(index);
    if (path.isEmpty()) {
        clearPreview();
        return;
    }
    const quint64 ticket = ++m_previewTicket;
    const qreal ratio = m_preview->devicePixelRatioF();
    QPointer<MainWindow> self(this);
    m_engine.preview(path, m_preview->size() * ratio, [self, ticket, ratio](const PreviewResult& result) {
        if (!self || ticket != self->m_previewTicket)
            return;
        self->m_previewAnswered = ticket;
        if (!result.error.isEmpty()) {
            self->m_preview->setText(QStringLiteral("无法显示此图片：") + result.error);
            return;
        }
        QImage picture = result.image;
        picture.setDevicePixelRatio(ratio);
        self->m_preview->setPicture(picture);
    });
    // A large picture takes a moment; say so rather than keep showing the previous one.
    QTimer::singleShot(200, this, [this, ticket] {
        if (ticket == m_previewTicket && m_previewAnswered != ticket)
            m_preview->setText(QStringLiteral("正在载入…"));
    });
}

void MainWindow::deleteEntry()
{
    // Each step that cannot be done is skipped and the next one runs.
    if (m_selectedIndex != m_pictureList->entryCount()) {
        m_pictureList->removeEntry(m_pictureList->selectedIndex());
        if (!m_pictureList->setSelectedIndex(m_selectedIndex))
            showPreviewOf(m_pictureList->selectedIndex());
    } else {
        m_pictureList->removeEntry(m_pictureList->selectedIndex());
        clearPreview();
    }
}

void MainWindow::clearPreview()
{
    // An answer still on its way for an earlier selection must not bring a picture back.
    ++m_previewTicket;
    m_preview->clear();
}

void MainWindow::convert(int buttonId)
{
    // The buttons' ids are the formats' indexes.
    if (m_batch || buttonId < 0 || buttonId >= OutputFormat::Count)
        return;
    const auto format = OutputFormat::Index(buttonId);
    m_outputPath.clear();
    Showbc();
    if (m_outputPath.isEmpty())
        return;
    // Opened now, once: the batch writes into this folder whatever its path leads to later.
    const std::shared_ptr<const OutputFolder> folder = OutputFolder::open(m_outputPath);
    if (!folder || !folder->canCreateFiles()) {
        m_desktop.showMessage(this, {Message::Icon::Warning,
                                     QStringLiteral("无法写入"),
                                     QStringLiteral("无法写入所选文件夹：") + QDir::toNativeSeparators(m_outputPath),
                                     {}});
        return;
    }
    QStringList entries;
    for (int i = 0; i < m_pictureList->entryCount(); ++i)
        entries.append(m_pictureList->entryText(i));
    const std::optional<QList<PlannedOutput>> plan = planOutputs(entries, format);
    // A quit that came while a dialog was open, as its answer was given, starts no batch.
    if (!plan || m_quitAfterBatch)
        return;

    m_batch = new BatchRun(m_engine, *plan, format, folder, this);
    // Queued: the message box that follows must not open inside the engine's own report.
    connect(m_batch, &BatchRun::ended, this, &MainWindow::batchEnded, Qt::QueuedConnection);
    updateControls();
    m_batch->start();
}

std::optional<QList<PlannedOutput>> MainWindow::planOutputs(const QStringList& entries, OutputFormat::Index format)
{
    const QList<PlannedOutput> plan = planBatch(entries, m_outputPath, format, lookUpFile);
    const QList<PlannedOutput> replaced = replacedFiles(plan);
    if (replaced.isEmpty())
        return plan;

    // Asked once, before anything is written. Enter keeps both: nothing is lost by accident.
    enum Answer { ReplaceAll, KeepBoth, SkipThem, Cancel };
    Question question;
    question.title = QStringLiteral("文件已存在");
    question.text = QStringLiteral("%1 个文件已存在").arg(replaced.size());
    QStringList names{QStringLiteral("保存路径 %1 中已有以下文件：").arg(QDir::toNativeSeparators(m_outputPath))};
    for (const PlannedOutput& output : replaced)
        names.append(QFileInfo(output.target).fileName());
    question.details = names.join(u'\n');
    question.answers = {QStringLiteral("全部替换"), QStringLiteral("保留两者"), QStringLiteral("跳过这些"),
                        QStringLiteral("取消")};
    question.defaultAnswer = KeepBoth;
    question.escapeAnswer = Cancel;
    switch (m_desktop.ask(this, question)) {
    case ReplaceAll:
        return plan;
    case KeepBoth:
        return planBatch(entries, m_outputPath, format, lookUpFile, ExistingFiles::KeepBoth);
    case SkipThem:
        return planBatch(entries, m_outputPath, format, lookUpFile, ExistingFiles::Skip);
    default:
        return std::nullopt;
    }
}

void MainWindow::batchEnded()
{
    if (!m_batch)
        return;
    const ConversionReport report = m_batch->report();
    m_batch->deleteLater();
    m_batch = nullptr;
    m_converted = true;
    updateControls();
    // A finished batch leaves the list on its last entry, selected and shown, as after walking through
    // it; a cancelled one leaves the picture the person was looking at.
    if (!report.cancelled)
        m_pictureList->setSelectedIndex(m_pictureList->entryCount() - 1);
    if (m_quitAfterBatch) {
        close();
        return;
    }
    m_desktop.showMessage(this, report.message());
}

void MainWindow::updateControls()
{
    // While a batch runs the window takes no other request; closing it asks first.
    const bool idle = m_batch == nullptr;
    m_pictureList->setEnabled(idle);
    for (QPushButton* button : {m_openButton, m_deleteButton, m_addButton})
        button->setEnabled(idle);
    for (QAbstractButton* button : m_formatButtons->buttons())
        button->setEnabled(idle);
    m_viewButton->setEnabled(idle && m_converted);
}

void MainWindow::closeEvent(QCloseEvent* event)
{
    if (!m_batch) {
        event->accept();
        return;
    }
    event->ignore();
    if (m_quitAfterBatch)
        return;
    enum Answer { Quit, GoOn };
    Question question;
    question.title = QStringLiteral("Kalvorin");
    question.text = QStringLiteral("正在转换，取消并退出？");
    question.answers = {QStringLiteral("取消并退出"), QStringLiteral("继续转换")};
    question.defaultAnswer = GoOn;
    question.escapeAnswer = GoOn;
    if (m_desktop.ask(this, question) != Quit)
        return;
    m_quitAfterBatch = true;
    // The batch may have ended while the question was open.
    if (m_batch)
        m_batch->cancel();
    else
        close();
}

void MainWindow::quitNow()
{
    if (m_quitAfterBatch)
        return;
    m_quitAfterBatch = true;
    // A dialog waiting for an answer would keep the window open. Closed, each answers as Escape would:
    // no folder, no files, 取消, 继续转换. Nested ones close innermost first.
    for (int i = 0; i < 8; ++i) {
        QWidget* modal = QApplication::activeModalWidget();
        if (!modal || modal == this)
            break;
        if (auto* dialog = qobject_cast<QDialog*>(modal))
            dialog->reject();
        else
            modal->close();
        if (QApplication::activeModalWidget() == modal)
            break;
    }
    if (m_batch)
        m_batch->cancel();
    // Queued: the closed dialogs' own event loops unwind first. With a batch still running the close
    // is refused quietly and batchEnded closes the window.
    QMetaObject::invokeMethod(
        this, [this] { close(); }, Qt::QueuedConnection);
}

void MainWindow::Showbc()
{
    m_outputPath = m_desktop.browseFolder(this, QStringLiteral("请选择图片输出的保存路径："),
                                          m_desktop.remembered(outputFolderKey));
    if (!m_outputPath.isEmpty())
        m_desktop.remember(outputFolderKey, m_outputPath);
}

void MainWindow::view()
{
    // With no folder chosen the file manager opens where it starts on its own: the home folder.
    const QString folder = m_outputPath.isEmpty() ? QDir::homePath() : m_outputPath;
    if (!m_desktop.openFolder(folder)) {
        m_desktop.showMessage(this,
                              {Message::Icon::Warning,
                               QStringLiteral("无法打开文件夹"),
                               QStringLiteral("无法在文件管理器中打开文件夹：") + QDir::toNativeSeparators(folder),
                               {}});
    }
}
