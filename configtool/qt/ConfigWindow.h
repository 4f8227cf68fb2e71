#pragma once
// The Qt view of the configuration tool: the main window with its three tabs,
// every control bound to the page models.
#include <QDialog>
#include <QIcon>
#include <thread>

#include "configtool/ConfigDialog.h"

class QCheckBox;
class QLabel;
class QComboBox;
class QLineEdit;
class QPushButton;
class QTabWidget;

namespace zolcfg {

// Shows message boxes as Qt message boxes (installed by the program).
void InstallQtMessagePresenter();

class PortsWidget;
class LogWidget;
class MsrWidget;

class ConfigWindow : public QDialog {
  Q_OBJECT

 public:
  // The model must be initialised (ConfigDialog::Initialize) already.
  explicit ConfigWindow(ConfigDialog& model, QWidget* parent = nullptr);
  ~ConfigWindow() override;

  QTabWidget* tabs() const { return m_tabs; }
  // Shows the model's state in every control.
  void Refresh();
  void ShowAbout();
  // The restart's limits (tests make them short).
  void SetRestartLimits(const RestartLimits& limits) { m_limits = limits; }

 public slots:
  // Escape and the close button end here: the restart question, then the
  // restart on a worker thread while the window shows its steps, then close.
  void reject() override;

 protected:
  // Enter presses the focused button, as in a dialog.
  void keyPressEvent(QKeyEvent* event) override;

 private:
  void FinishRestart(const RestartReport& report);

  ConfigDialog& m_model;
  RestartLimits m_limits;
  QIcon m_icon;
  std::thread m_restart;
  QDialog* m_progress = nullptr;
  QLabel* m_step = nullptr;
  QTabWidget* m_tabs;
  PortsWidget* m_ports;
  LogWidget* m_log;
  MsrWidget* m_msr;
  QPushButton* m_applyAll;
};

class PortsWidget : public QWidget {
  Q_OBJECT
 public:
  explicit PortsWidget(PortsPage& page, QWidget* parent = nullptr);
  void Refresh();

 private:
  PortsPage& m_page;
  QComboBox* m_msr;
  QComboBox* m_ld;
  QPushButton* m_apply;
  QPushButton* m_default;
};

class LogWidget : public QWidget {
  Q_OBJECT
 public:
  explicit LogWidget(LogPage& page, QWidget* parent = nullptr);
  void Refresh();

 private:
  LogPage& m_page;
  QLineEdit* m_fileName;
  QLineEdit* m_fileSize;
  QLineEdit* m_tcpPort;
  QComboBox* m_level;
  QCheckBox* m_service;
  QCheckBox* m_msr;
  QCheckBox* m_ld;
  QPushButton* m_apply;
  QPushButton* m_default;
};

class MsrWidget : public QWidget {
  Q_OBJECT
 public:
  explicit MsrWidget(MsrPage& page, QWidget* parent = nullptr);
  void Refresh();

 private:
  MsrPage& m_page;
  struct Box {
    QCheckBox* widget;
    CheckControl* control;
  };
  struct Edit {
    QLineEdit* widget;
    EditControl* control;
  };
  std::vector<Box> m_boxes;
  std::vector<Edit> m_edits;
  QPushButton* m_apply;
  QPushButton* m_default;
};

}  // namespace zolcfg
