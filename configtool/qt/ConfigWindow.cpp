#include "configtool/qt/ConfigWindow.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QRegularExpressionValidator>
#include <QTabWidget>
#include <QVBoxLayout>

#include "platform/MessageBox.h"
#include "platform/Thread.h"

// The icon's resource lives in this static library: registered by hand.
static void InitIconResource() { Q_INIT_RESOURCE(ZolConfig); }

namespace zolcfg {
namespace {

QString Q(const std::wstring& s) { return QString::fromStdWString(s); }

QPushButton* Button(const char* text, const char* name, QWidget* parent) {
  auto* b = new QPushButton(QObject::tr(text), parent);
  b->setObjectName(name);
  b->setAutoDefault(false);
  return b;
}

QCheckBox* Check(const char* text, const char* name, QWidget* parent) {
  auto* c = new QCheckBox(QString::fromUtf8(text), parent);
  c->setObjectName(name);
  return c;
}

QLineEdit* Line(const char* name, QWidget* parent) {
  auto* e = new QLineEdit(parent);
  e->setObjectName(name);
  return e;
}

void ShowCombo(QComboBox* combo, const ComboControl& control) {
  combo->clear();
  for (const auto& entry : control.entries) combo->addItem(Q(entry));
  combo->setCurrentIndex(control.selection);
  combo->setEnabled(control.enabled);
}

void ShowEdit(QLineEdit* edit, const EditControl& control) {
  if (edit->text() != Q(control.text)) edit->setText(Q(control.text));
  edit->setEnabled(control.enabled);
}

// Buttons at the bottom right of a page: "Default", then "Apply".
QHBoxLayout* ButtonRow(QPushButton* defaults, QPushButton* apply) {
  auto* row = new QHBoxLayout;
  row->addStretch();
  row->addWidget(defaults);
  row->addWidget(apply);
  return row;
}

// "Apply" and "Default" of a page, then the page shows its new state.
template <typename PageWidget>
void ConnectPageButtons(PageWidget* widget, Page& page, QPushButton* apply, QPushButton* defaults) {
  QObject::connect(apply, &QPushButton::clicked, widget, [widget, &page] {
    page.OnApply();
    widget->Refresh();
  });
  QObject::connect(defaults, &QPushButton::clicked, widget, [widget, &page] {
    page.OnDefault();
    widget->Refresh();
  });
}

}  // namespace

void InstallQtMessagePresenter() {
  sys::SetMessagePresenter([](const sys::MessageBoxRequest& r) {
    QMessageBox box(QApplication::activeWindow());
    box.setWindowTitle(Q(r.caption));
    box.setText(Q(r.text));
    switch (r.icon) {
      case sys::MessageIcon::Information: box.setIcon(QMessageBox::Information); break;
      case sys::MessageIcon::Warning: box.setIcon(QMessageBox::Warning); break;
      case sys::MessageIcon::Error: box.setIcon(QMessageBox::Critical); break;
      case sys::MessageIcon::Question: box.setIcon(QMessageBox::Question); break;
      case sys::MessageIcon::None: break;
    }
    switch (r.buttons) {
      case sys::MessageButtons::Ok: box.setStandardButtons(QMessageBox::Ok); break;
      case sys::MessageButtons::YesNo: box.setStandardButtons(QMessageBox::Yes | QMessageBox::No); break;
      case sys::MessageButtons::YesNoCancel:
        box.setStandardButtons(QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel);
        break;
      case sys::MessageButtons::OkCancel: box.setStandardButtons(QMessageBox::Ok | QMessageBox::Cancel); break;
    }
    switch (box.exec()) {
      case QMessageBox::Yes: return sys::MessageAnswer::Yes;
      case QMessageBox::No: return sys::MessageAnswer::No;
      case QMessageBox::Cancel: return sys::MessageAnswer::Cancel;
      default: return sys::MessageAnswer::Ok;
    }
  });
}

ConfigWindow::ConfigWindow(ConfigDialog& model, QWidget* parent)
    : QDialog(parent), m_model(model) {
  InitIconResource();
  m_icon = QIcon(QStringLiteral(":/zolconfig/ZolConfig.ico"));
  setWindowTitle(Q(kDialogTitle));
  setWindowIcon(m_icon);
  setObjectName("ZolConfigDlg");
  m_tabs = new QTabWidget(this);
  m_tabs->setObjectName("tabs");
  m_ports = new PortsWidget(model.ports);
  m_log = new LogWidget(model.logging);
  m_msr = new MsrWidget(model.msr);
  m_tabs->addTab(m_ports, Q(kTabNames[0]));
  m_tabs->addTab(m_log, Q(kTabNames[1]));
  m_tabs->addTab(m_msr, Q(kTabNames[2]));

  auto* about = Button("About ZolConfig...", "about", this);
  m_applyAll = Button("Apply All", "applyAll", this);
  auto* bottom = new QHBoxLayout;
  bottom->addWidget(about);
  bottom->addStretch();
  bottom->addWidget(m_applyAll);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(m_tabs);
  layout->addLayout(bottom);

  connect(m_tabs, &QTabWidget::currentChanged, this, [this](int tab) {
    m_model.OnTabChanged(tab);
    m_tabs->setFocus();
  });
  connect(m_applyAll, &QPushButton::clicked, this, [this] {
    m_model.ApplyAll();
    Refresh();
  });
  connect(about, &QPushButton::clicked, this, &ConfigWindow::ShowAbout);
  m_tabs->setCurrentIndex(m_model.currentTab);
  Refresh();
}

void ConfigWindow::Refresh() {
  m_applyAll->setEnabled(m_model.applyAll.enabled);
  m_ports->Refresh();
  m_log->Refresh();
  m_msr->Refresh();
}

ConfigWindow::~ConfigWindow() {
  if (m_restart.joinable()) m_restart.join();
}

void ConfigWindow::ShowAbout() {
  QDialog about(this);
  about.setObjectName("aboutBox");
  about.setWindowTitle(Q(kAboutTitle));
  about.setWindowIcon(m_icon);
  auto* layout = new QVBoxLayout(&about);
  auto* top = new QHBoxLayout;
  auto* icon = new QLabel(&about);
  icon->setObjectName("aboutIcon");
  icon->setPixmap(m_icon.pixmap(32, 32));
  auto* texts = new QVBoxLayout;
  texts->addWidget(new QLabel(QStringLiteral("ZolConfig"), &about));
  auto* version = new QLabel(QStringLiteral("Version: ") + Q(kVersionText), &about);
  version->setObjectName("version");
  texts->addWidget(version);
  top->addWidget(icon, 0, Qt::AlignTop);
  top->addLayout(texts);
  layout->addLayout(top);
  auto* ok = new QPushButton(tr("OK"), &about);
  connect(ok, &QPushButton::clicked, &about, &QDialog::accept);
  layout->addWidget(ok, 0, Qt::AlignRight);
  // Wide enough for the whole title beside the title bar's buttons.
  about.setMinimumWidth(about.fontMetrics().horizontalAdvance(about.windowTitle()) + 160);
  about.exec();
}

void ConfigWindow::keyPressEvent(QKeyEvent* event) {
  if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
    if (auto* button = qobject_cast<QPushButton*>(focusWidget()); button && button->isEnabled()) {
      button->click();
      return;
    }
  }
  QDialog::keyPressEvent(event);
}

void ConfigWindow::reject() {
  if (m_restart.joinable()) return;  // a restart runs: the window closes after it
  if (!m_model.SettingsChanged() || !AskToRestart()) {
    QDialog::reject();
    return;
  }
  m_progress = new QDialog(this);
  m_progress->setObjectName("restartProgress");
  m_progress->setWindowTitle(Q(kToolCaption));
  m_progress->setWindowIcon(m_icon);
  m_step = new QLabel(m_progress);
  m_step->setObjectName("restartStep");
  m_step->setMinimumWidth(m_step->fontMetrics().horizontalAdvance(Q(StepText(RestartStep::StoppingPortService))) * 2);
  (new QVBoxLayout(m_progress))->addWidget(m_step);
  // The restart waits for systemd; the window goes on painting meanwhile.
  m_progress->setWindowModality(Qt::WindowModal);
  m_progress->show();
  QPointer<QLabel> step = m_step;
  m_restart = sys::StartThread([this, step] {
    const RestartReport report = RunRestart(m_limits, [step](RestartStep s) {
      QMetaObject::invokeMethod(step, [step, s] { if (step) step->setText(Q(StepText(s))); }, Qt::QueuedConnection);
    });
    QMetaObject::invokeMethod(this, [this, report] { FinishRestart(report); }, Qt::QueuedConnection);
  });
}

void ConfigWindow::FinishRestart(const RestartReport& report) {
  m_restart.join();
  m_progress->close();
  m_progress->deleteLater();
  m_progress = nullptr;
  m_step = nullptr;
  ShowRestartReport(report);
  QDialog::reject();
}

PortsWidget::PortsWidget(PortsPage& page, QWidget* parent) : QWidget(parent), m_page(page) {
  m_msr = new QComboBox(this);
  m_msr->setObjectName("msrPort");
  m_ld = new QComboBox(this);
  m_ld->setObjectName("ldPort");
  m_apply = Button("Apply", "apply", this);
  m_default = Button("Default", "default", this);

  auto group = [this](const char* title, QComboBox* combo) {
    auto* box = new QGroupBox(QString::fromUtf8(title), this);
    auto* grid = new QGridLayout(box);
    grid->addWidget(new QLabel(QStringLiteral("COM Port Number:"), box), 0, 0);
    grid->addWidget(combo, 0, 1);
    return box;
  };
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(group("MSR Settings", m_msr));
  layout->addWidget(group("Line Display Settings", m_ld));
  layout->addStretch();
  layout->addLayout(ButtonRow(m_default, m_apply));
  setTabOrder(m_msr, m_ld);
  setTabOrder(m_ld, m_default);
  setTabOrder(m_default, m_apply);

  connect(m_msr, &QComboBox::activated, this, [this](int i) {
    m_page.OnMsrSelectionChanged(i);
    Refresh();
  });
  connect(m_ld, &QComboBox::activated, this, [this](int i) {
    m_page.OnLdSelectionChanged(i);
    Refresh();
  });
  ConnectPageButtons(this, m_page, m_apply, m_default);
}

void PortsWidget::Refresh() {
  ShowCombo(m_msr, m_page.msrPort);
  ShowCombo(m_ld, m_page.ldPort);
  m_apply->setEnabled(m_page.apply.enabled);
}

LogWidget::LogWidget(LogPage& page, QWidget* parent) : QWidget(parent), m_page(page) {
  m_fileName = Line("fileName", this);
  m_fileSize = Line("fileSize", this);
  m_tcpPort = Line("tcpPort", this);
  auto* digits = new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]*")), this);
  m_fileSize->setValidator(digits);
  m_tcpPort->setValidator(digits);
  m_level = new QComboBox(this);
  m_level->setObjectName("logLevel");
  m_service = Check("Service", "moduleService", this);
  m_msr = Check("MSR", "moduleMsr", this);
  m_ld = Check("Line Display", "moduleLd", this);
  m_apply = Button("Apply", "apply", this);
  m_default = Button("Default", "default", this);

  auto* settings = new QGroupBox(QStringLiteral("Settings"), this);
  auto* grid = new QGridLayout(settings);
  grid->addWidget(new QLabel(QStringLiteral("Log File Name:"), settings), 0, 0);
  grid->addWidget(m_fileName, 0, 1, 1, 2);
  grid->addWidget(new QLabel(QStringLiteral("Log File Size:"), settings), 1, 0);
  grid->addWidget(m_fileSize, 1, 1);
  grid->addWidget(new QLabel(QStringLiteral("KB"), settings), 1, 2);
  grid->addWidget(new QLabel(QStringLiteral("TCP Port Number:"), settings), 2, 0);
  grid->addWidget(m_tcpPort, 2, 1);
  grid->addWidget(new QLabel(QStringLiteral("Log Level:"), settings), 3, 0);
  grid->addWidget(m_level, 3, 1);
  auto* modules = new QGroupBox(QStringLiteral("Modules"), this);
  auto* column = new QVBoxLayout(modules);
  column->addWidget(m_service);
  column->addWidget(m_msr);
  column->addWidget(m_ld);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(settings);
  layout->addWidget(modules);
  layout->addStretch();
  layout->addLayout(ButtonRow(m_default, m_apply));
  QWidget* order[] = {m_fileName, m_fileSize, m_tcpPort, m_level, m_service, m_msr, m_ld, m_default, m_apply};
  for (size_t i = 0; i + 1 < std::size(order); ++i) setTabOrder(order[i], order[i + 1]);

  auto bindEdit = [this](QLineEdit* widget, EditControl& control) {
    connect(widget, &QLineEdit::textEdited, this, [this, widget, &control](const QString& text) {
      control.UserEdit(FitToLimit(control.text, text.toStdWString(), control.limit));
      ShowEdit(widget, control);
    });
  };
  bindEdit(m_fileName, m_page.fileName);
  bindEdit(m_fileSize, m_page.fileSize);
  bindEdit(m_tcpPort, m_page.tcpPort);
  connect(m_level, &QComboBox::activated, this, [this](int i) { m_page.logLevel.selection = i; });
  auto bindCheck = [this](QCheckBox* widget, CheckControl& control) {
    connect(widget, &QCheckBox::clicked, this, [&control](bool on) { control.checked = on; });
  };
  bindCheck(m_service, m_page.moduleService);
  bindCheck(m_msr, m_page.moduleMsr);
  bindCheck(m_ld, m_page.moduleLd);
  ConnectPageButtons(this, m_page, m_apply, m_default);
}

void LogWidget::Refresh() {
  ShowEdit(m_fileName, m_page.fileName);
  ShowEdit(m_fileSize, m_page.fileSize);
  ShowEdit(m_tcpPort, m_page.tcpPort);
  ShowCombo(m_level, m_page.logLevel);
  m_service->setChecked(m_page.moduleService.checked);
  m_msr->setChecked(m_page.moduleMsr.checked);
  m_ld->setChecked(m_page.moduleLd.checked);
  m_apply->setEnabled(m_page.apply.enabled);
}

MsrWidget::MsrWidget(MsrPage& page, QWidget* parent) : QWidget(parent), m_page(page) {
  auto box = [this](const char* text, const char* name, CheckControl& control) {
    QCheckBox* c = Check(text, name, this);
    m_boxes.push_back({c, &control});
    return c;
  };
  auto edit = [this](const char* name, EditControl& control) {
    QLineEdit* e = Line(name, this);
    m_edits.push_back({e, &control});
    return e;
  };
  QCheckBox* raw = box("Raw Data Mode(AAMVA Mode)", "rawDataMode", m_page.rawDataMode);
  QCheckBox* cr = box("Carriage Return Enabled", "crEnabled", m_page.crEnabled);
  QCheckBox* t1 = box("Track 1 Enabled", "track1", m_page.track1);
  QCheckBox* t2 = box("Track 2 Enabled", "track2", m_page.track2);
  QCheckBox* t3 = box("Track 3 Enabled", "track3", m_page.track3);
  QCheckBox* strip = box("Strip Sentinels", "stripSentinels", m_page.stripSentinels);
  QCheckBox* hide = box("Hide Error Tracks", "hideErrorTracks", m_page.hideErrorTracks);
  QLineEdit* s1 = edit("track1Start", m_page.track1Start);
  QLineEdit* s2 = edit("track2Start", m_page.track2Start);
  QLineEdit* s3 = edit("track3Start", m_page.track3Start);
  QLineEdit* se = edit("endSentinel", m_page.endSentinel);
  QCheckBox* headOn = box("Head Wrapper", "headWrapperOn", m_page.headWrapperOn);
  QCheckBox* tailOn = box("Tail Wrapper", "tailWrapperOn", m_page.tailWrapperOn);
  QLineEdit* head = edit("headWrapper", m_page.headWrapper);
  QLineEdit* tail = edit("tailWrapper", m_page.tailWrapper);
  QCheckBox* cr1 = box("CR Track 1 Enabled", "track1Cr", m_page.track1Cr);
  QCheckBox* cr2 = box("CR Track 2 Enabled", "track2Cr", m_page.track2Cr);
  QCheckBox* cr3 = box("CR Track 3 Enabled", "track3Cr", m_page.track3Cr);
  for (QLineEdit* s : {s1, s2, s3, se}) {
    s->setAlignment(Qt::AlignCenter);
    s->setMaximumWidth(40);
  }
  m_apply = Button("Apply", "apply", this);
  m_default = Button("Default", "default", this);

  auto* params = new QGroupBox(QStringLiteral("MSR Configuration Parameters"), this);
  auto* pgrid = new QGridLayout(params);
  int row = 0;
  for (QCheckBox* c : {raw, cr, t1, t2, t3, strip, hide}) pgrid->addWidget(c, row++, 0, 1, 2);
  const std::pair<const char*, QLineEdit*> sentinels[] = {{"Start Sentinel(Track 1)", s1},
                                                         {"Start Sentinel(Track 2)", s2},
                                                         {"Start Sentinel(Track 3)", s3},
                                                         {"End Sentinel", se}};
  for (const auto& [label, e] : sentinels) {
    pgrid->addWidget(new QLabel(QString::fromUtf8(label), params), row, 0);
    pgrid->addWidget(e, row++, 1);
  }
  auto* enhanced = new QGroupBox(QStringLiteral("MSR Enhanced Configuration"), this);
  auto* wrappers = new QGroupBox(QStringLiteral("Data Wrapper Configuration"), enhanced);
  auto* wgrid = new QGridLayout(wrappers);
  wgrid->addWidget(headOn, 0, 0);
  wgrid->addWidget(head, 0, 1);
  wgrid->addWidget(tailOn, 1, 0);
  wgrid->addWidget(tail, 1, 1);
  auto* crs = new QGroupBox(QStringLiteral("Inidvidual CR Enabled"), enhanced);
  auto* ccol = new QVBoxLayout(crs);
  for (QCheckBox* c : {cr1, cr2, cr3}) ccol->addWidget(c);
  auto* ecol = new QVBoxLayout(enhanced);
  ecol->addWidget(wrappers);
  ecol->addWidget(crs);
  ecol->addStretch();
  auto* columns = new QHBoxLayout;
  columns->addWidget(params);
  columns->addWidget(enhanced);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(columns);
  layout->addLayout(ButtonRow(m_default, m_apply));
  QWidget* order[] = {raw, cr, t1, t2, t3, strip, hide, s1, s2, s3, se, headOn, head, tailOn, tail,
                      cr1, cr2, cr3, m_default, m_apply};
  for (size_t i = 0; i + 1 < std::size(order); ++i) setTabOrder(order[i], order[i + 1]);

  for (const Box& b : m_boxes) {
    CheckControl* control = b.control;
    if (control == &m_page.headWrapperOn || control == &m_page.tailWrapperOn) continue;
    connect(b.widget, &QCheckBox::clicked, this, [control](bool on) { control->checked = on; });
  }
  connect(headOn, &QCheckBox::clicked, this, [this](bool on) {
    m_page.OnHeadWrapperClicked(on);
    Refresh();
  });
  connect(tailOn, &QCheckBox::clicked, this, [this](bool on) {
    m_page.OnTailWrapperClicked(on);
    Refresh();
  });
  for (const Edit& e : m_edits) {
    EditControl* control = e.control;
    QLineEdit* widget = e.widget;
    connect(widget, &QLineEdit::textEdited, this, [this, control](const QString& edited) {
      // A paste beyond the limit is cut to fit, as a Win32 edit does.
      const std::wstring text = FitToLimit(control->text, edited.toStdWString(), control->limit);
      if (control == &m_page.headWrapper) {
        m_page.OnHeadWrapperEdited(text);
      } else if (control == &m_page.tailWrapper) {
        m_page.OnTailWrapperEdited(text);
      } else {
        control->UserEdit(text);
      }
      Refresh();
    });
  }
  ConnectPageButtons(this, m_page, m_apply, m_default);
}

void MsrWidget::Refresh() {
  for (const Box& b : m_boxes) {
    b.widget->setChecked(b.control->checked);
    b.widget->setEnabled(b.control->enabled);
  }
  for (const Edit& e : m_edits) ShowEdit(e.widget, *e.control);
  m_apply->setEnabled(m_page.apply.enabled);
}

}  // namespace zolcfg
