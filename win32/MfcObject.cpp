//===-- win32/MfcObject.cpp - MFC's CObject root class ---------------------===//
//
// The virtual members every MFC-derived class of the layer inherits. The
// library neither serialises nor dumps objects: those members do nothing.
//===----------------------------------------------------------------------===//
#include "tmwin32.h"

CRuntimeClass CObject::classCObject = {"CObject", sizeof(CObject), 0xFFFF, nullptr, nullptr};

CRuntimeClass* CObject::GetRuntimeClass() const { return &CObject::classCObject; }

CObject::~CObject() = default;

void CObject::Serialize(CArchive&) {}

void CObject::AssertValid() const {}

void CObject::Dump(CDumpContext&) const {}
