// The host function table: one function-pointer variable per host operation, named
// like the operation, filled by InitHVAccess at the start of every run.
//
// The 28 operations a run calls are typed after their declarations in
// host_interface.h. The others are resolved but never called; their signatures are
// the host's, so they are held as opaque addresses. A null entry means the host does
// not provide that operation. Module-internal: nothing here is exported.
#pragma once

#include "plugin/host_interface.h"

// Every operation in lookup order, grouped by the host's document families.
// CALLED marks the operations a run calls; OPAQUE the ones it only resolves.
// hvGetVersionOfHelvara, the one mandatory operation, is looked up first, on its own.
// The table is laid out by document family, several to a line, so the formatter
// leaves it alone.
// clang-format off
#define TOLVANE_HOST_OPERATIONS_AFTER_VERSION(CALLED, OPAQUE)                                  \
  /* General services */                                                                      \
  OPAQUE(hvGetHelvaraPath) OPAQUE(hvGetPluginsPath) OPAQUE(hvShowLogPane) CALLED(hvShowLogTab)  \
  CALLED(hvLogText) CALLED(hvMessageBox) CALLED(hvYesNoMessageBox) CALLED(hvGetIntegerInput)    \
  OPAQUE(hvGetFloatInput) OPAQUE(hvGetTextInput) CALLED(hvGetOpenFileName)                      \
  CALLED(hvGetSaveFileName) CALLED(hvUpdateActiveWindow) CALLED(hvShowBusyCursor)               \
  CALLED(hvStopBusyCursor)                                                                      \
  /* Workspace and documents */                                                               \
  OPAQUE(hvGetNumberOfDocsInWorkspace) OPAQUE(hvGetDocumentType) OPAQUE(hvGetDocumentTypeName) \
  OPAQUE(hvGetIDOfCurrentDocument) OPAQUE(hvSetAsCurrentDocument)                              \
  /* Volume tools */                                                                          \
  OPAQUE(hvCalculateIAMatrix) OPAQUE(hvGetTRFParametersFromVolumeToolsDlg)                     \
  /* FMR documents and their STC data */                                                      \
  OPAQUE(hvGetHeaderOfCurrentFMR) OPAQUE(hvSetHeaderOfCurrentFMR)                              \
  OPAQUE(hvGetSTCFloatDataOfCurrentFMR) OPAQUE(hvGetSTCIntDataOfCurrentFMR)                    \
  OPAQUE(hvGetSTCDataOfCurrentFMR) OPAQUE(hvSaveFMR) OPAQUE(hvSaveFMRAndSTC)                   \
  OPAQUE(hvGetScannerPositionHeaderOfCurrentFMR) OPAQUE(hvSetScannerPositionHeaderOfCurrentFMR) \
  /* DMR documents and their DWI data */                                                      \
  OPAQUE(hvGetHeaderOfCurrentDMR) OPAQUE(hvSetHeaderOfCurrentDMR)                              \
  OPAQUE(hvGetDWIFloatDataOfCurrentDMR) OPAQUE(hvGetDWIIntDataOfCurrentDMR)                    \
  OPAQUE(hvGetDWIDataOfCurrentDMR) OPAQUE(hvConvertDWIFormatOfCurrentDMR) OPAQUE(hvSaveDMR)    \
  OPAQUE(hvSaveDMRAndDWI)                                                                      \
  /* VMR documents */                                                                         \
  CALLED(hvGetCurrentVMR) OPAQUE(hvGetMainHeaderOfCurrentVMR) OPAQUE(hvSetMainHeaderOfCurrentVMR) \
  OPAQUE(hvGetScannerPositionHeaderOfCurrentVMR) OPAQUE(hvSetScannerPositionHeaderOfCurrentVMR) \
  OPAQUE(hvGetPastTransformationsHeaderOfCurrentVMR)                                           \
  OPAQUE(hvSetPastTransformationsHeaderOfCurrentVMR) OPAQUE(hvReframeCurrentVMR)               \
  CALLED(hvGetCrossPositionOfCurrentVMR)                                                       \
  /* NRVMP maps of the current VMR */                                                         \
  OPAQUE(hvGetNRVMPsOfCurrentVMR) OPAQUE(hvGetNRVMPOfCurrentVMR)                               \
  OPAQUE(hvSetNRVMPParametersOfCurrentVMR) OPAQUE(hvLoadNRVMPsToCurrentVMR)                    \
  OPAQUE(hvSaveNRVMPsOfCurrentVMR) OPAQUE(hvCreateNRVMPsForCurrentVMR)                         \
  OPAQUE(hvDeleteNRVMPsOfCurrentVMR) OPAQUE(hvSetNRVMPsParamsDisplayRange)                     \
  /* ARVMP maps of the current VMR */                                                         \
  OPAQUE(hvGetARVMPsOfCurrentVMR) OPAQUE(hvGetARVMPOfCurrentVMR)                               \
  OPAQUE(hvSetARVMPParametersOfCurrentVMR) OPAQUE(hvLoadARVMPsToCurrentVMR)                    \
  OPAQUE(hvSaveARVMPsOfCurrentVMR) OPAQUE(hvCreateARVMPsForCurrentVMR)                         \
  OPAQUE(hvDeleteARVMPsOfCurrentVMR)                                                           \
  /* VTC documents */                                                                         \
  OPAQUE(hvLinkVTCToCurrentVMR) CALLED(hvCreateVTCForCurrentVMR)                               \
  CALLED(hvGetHeaderOfVTCOfCurrentVMR) CALLED(hvSetHeaderOfVTCOfCurrentVMR)                    \
  OPAQUE(hvGetVTCOfCurrentVMR) CALLED(hvGetVTCFloatDataOfCurrentVMR)                           \
  OPAQUE(hvGetVTCIntDataOfCurrentVMR) OPAQUE(hvSetVTCParametersOfCurrentVMR)                   \
  CALLED(hvSaveVTCOfCurrentVMR) OPAQUE(hvClearMultiVTCAnalysis)                                \
  OPAQUE(hvAddVTCRefForMultiVTCAnalysis) OPAQUE(hvGetVoxelTimeCourseOfVTC)                     \
  OPAQUE(hvGetVoxelTimeCourseOfVTCs) OPAQUE(hvGetVoxelCoordsTimeCourseOfVTC)                   \
  OPAQUE(hvGetVoxelCoordsTimeCourseOfVTCs)                                                     \
  /* GLM and mask of the current VMR */                                                       \
  OPAQUE(hvGetGLMOfCurrentVMR) OPAQUE(hvLoadMaskToCurrentVMR) OPAQUE(hvGetMaskOfCurrentVMR)    \
  /* Scene and SRF documents */                                                               \
  OPAQUE(hvGetScene) OPAQUE(hvGetCurrentSRF) OPAQUE(hvReleaseSRFAccess)                        \
  OPAQUE(hvSaveCurrentSRF) OPAQUE(hvSetCurrentSRF)                                             \
  /* MTCs of the current SRF */                                                               \
  OPAQUE(hvLinkMTCToCurrentSRF) OPAQUE(hvGetMTCOfCurrentSRF) OPAQUE(hvSetMTCParametersOfCurrentSRF) \
  OPAQUE(hvCreateMTCForCurrentSRF) OPAQUE(hvSaveMTCOfCurrentSRF)                               \
  OPAQUE(hvClearMultiMTCRefsOfCurrentSRF) OPAQUE(hvAddMultiMTCRefToCurrentSRF)                 \
  OPAQUE(hvGetVertexTimeCourseOfMTC) OPAQUE(hvGetVertexTimeCourseOfAllMTCs)                    \
  /* SMPs of the current SRF */                                                               \
  OPAQUE(hvGetSMPsOfCurrentSRF) OPAQUE(hvGetSMPOfCurrentSRF) OPAQUE(hvSetSMPParametersOfCurrentSRF) \
  OPAQUE(hvLoadSMPsToCurrentSRF) OPAQUE(hvSaveSMPsOfCurrentSRF) OPAQUE(hvCreateSMPForCurrentSRF) \
  OPAQUE(hvDeleteSMPsOfCurrentSRF) OPAQUE(hvOverlaySMPsOnSRF)                                  \
  /* SSMs of the current SRF */                                                               \
  OPAQUE(hvGetSSMOfCurrentSRF) OPAQUE(hvLoadSSMToCurrentSRF) OPAQUE(hvSaveSSMOfCurrentSRF)     \
  OPAQUE(hvCreateSSMForCurrentSRF) OPAQUE(hvDeleteSSMOfCurrentSRF)                             \
  /* Protocol */                                                                              \
  OPAQUE(hvClearProtocol) OPAQUE(hvLoadProtocol) OPAQUE(hvSaveProtocol) CALLED(hvGetProtocol)  \
  OPAQUE(hvSetProtocol) CALLED(hvGetProtocolCondition) OPAQUE(hvAddProtocolCondition)          \
  OPAQUE(hvAddProtocolConditionInterval)                                                       \
  /* Design matrix and predictors */                                                          \
  CALLED(hvClearDesignMatrix) CALLED(hvAddPredictor) CALLED(hvSetPredictorValuesFromCondition) \
  OPAQUE(hvSetPredictorValuesFromConditionName) CALLED(hvApplyTwoGammaHRFToPredictor)          \
  OPAQUE(hvApplyTwoGammaHRFToPredictorWithName) OPAQUE(hvApplyBoyntonHRFToPredictor)           \
  OPAQUE(hvApplyBoyntonHRFToPredictorWithName) CALLED(hvGetPredictor)                          \
  OPAQUE(hvGetPredictorByName) OPAQUE(hvLoadSingleStudyGLMDesignMatrix)                        \
  CALLED(hvSaveSingleStudyGLMDesignMatrix)                                                     \
  /* VOIs */                                                                                  \
  OPAQUE(hvLoadVOIs) OPAQUE(hvSaveVOIs) CALLED(hvGetVOIs) CALLED(hvGetVOI)                     \
  /* POIs */                                                                                  \
  OPAQUE(hvLoadPOIs) OPAQUE(hvSavePOIs) OPAQUE(hvGetPOIs) OPAQUE(hvGetPOI)                     \
  /* Dialog parameters */                                                                     \
  OPAQUE(hvGetDlgStringParameter) OPAQUE(hvGetDlgIntegerParameter)                             \
  OPAQUE(hvGetDlgFloatParameter) OPAQUE(hvSetDlgStringOutputParameter)                         \
  OPAQUE(hvSetDlgIntegerOutputParameter) OPAQUE(hvSetDlgFloatOutputParameter)                  \
  /* ICA dialog */                                                                            \
  OPAQUE(hvLaunchICADialog)

// clang-format on

#pragma GCC visibility push(hidden)

namespace host_table {

// Address of an operation that the run never calls.
using OpaqueOperation = void (*)();

#define TOLVANE_DECLARE_CALLED(name) extern decltype(&::name) name;
#define TOLVANE_DECLARE_OPAQUE(name) extern OpaqueOperation name;
extern decltype(&::hvGetVersionOfHelvara) hvGetVersionOfHelvara;
TOLVANE_HOST_OPERATIONS_AFTER_VERSION(TOLVANE_DECLARE_CALLED, TOLVANE_DECLARE_OPAQUE)
#undef TOLVANE_DECLARE_CALLED
#undef TOLVANE_DECLARE_OPAQUE

constexpr int kNumberOfHostOperations = 144;

// Opens the running host program (dlopen with a null path, lazy binding) and looks up
// every operation in the order above. Returns false, leaving the table otherwise as
// it was, when the program cannot be opened or lacks hvGetVersionOfHelvara; any other
// operation the host lacks is stored as null and true is returned.
bool InitHVAccess();

// True when every operation that a run calls is present.
bool runOperationsPresent();

}  // namespace host_table

#pragma GCC visibility pop
