# Platform build of the service for trees without Soong (Android 4.x to 6.0; written for 4.2),
# linking the platform's own libcutils and tinyalsa. Drop the project anywhere in the tree (say
# device/<vendor>/common/hdmi-preview-audio) and leave this file where it is, in android/: the
# build finds it there and takes the sources from the directory above. A copy at the top of the
# project works too. Then add the module to the product (PRODUCT_PACKAGES += hdmi-preview-audio)
# and the service to the board's init.<board>.rc (android/init.board.hdmi-preview-audio.rc).
#
# Compiler: the sources are C++17 and use std::unique_ptr, which 4.2's own GCC 4.6/4.7 and its
# platform C++ library cannot build (see android/README.md). On a stock 4.2 tree, build the binary
# with the NDK (r23, API 17) instead and let this file install it as a prebuilt, giving its path
# relative to the project directory in BoardConfig.mk:
#     HDMI_PREVIEW_AUDIO_PREBUILT := prebuilt/armeabi-v7a/hdmi-preview-audio
#
# A device whose tinyalsa brings its own pcm_open_req, with a tenth word in struct pcm_config,
# says so in its BoardConfig.mk, naming that word's field:
#     HDMI_PREVIEW_TINYALSA_HAS_PCM_OPEN_REQ := true
#     HDMI_PREVIEW_PCM_CONFIG_TENTH_FIELD := <the field's name in the variant's asoundlib.h>
# The code then takes the library's declaration, sets that word, and the thin wrapper is left out.
#
# Drift compensation, for cards whose clocks differ (off by default; see android/README.md): in
# BoardConfig.mk
#     HDMI_PREVIEW_DRIFT_COMPENSATION := true
# adds the controller and its speex backend, linked against the platform's libspeexresampler
# (external/speex).

# Only trees without Soong: from 7.0 on, Android.bp defines this module and a second definition
# would clash.
ifneq ($(filter 14 15 16 17 18 19 20 21 22 23,$(PLATFORM_SDK_VERSION)),)

LOCAL_PATH := $(call my-dir)
ifeq ($(wildcard $(LOCAL_PATH)/service/main.cpp),)
LOCAL_PATH := $(patsubst %/,%,$(dir $(LOCAL_PATH)))
endif

include $(CLEAR_VARS)

LOCAL_MODULE := hdmi-preview-audio
LOCAL_MODULE_TAGS := optional
# Trees that know the licence variables (Android 12 and later) read them; older ones ignore them.
LOCAL_LICENSE_KINDS := SPDX-license-identifier-Apache-2.0
LOCAL_LICENSE_CONDITIONS := notice
LOCAL_NOTICE_FILE := $(LOCAL_PATH)/LICENSE

ifeq ($(strip $(HDMI_PREVIEW_AUDIO_PREBUILT)),)

LOCAL_SRC_FILES := \
    service/main.cpp \
    service/service.cpp \
    loopback/loopback.cpp \
    loopback/level_gain.cpp \
    platform/pcm_open_req.cpp

# platform/include holds bsd_signal.h and pcm_open_req.h; <cutils/properties.h> is libcutils' own.
LOCAL_C_INCLUDES := \
    $(LOCAL_PATH)/platform/include \
    $(LOCAL_PATH)/loopback \
    $(LOCAL_PATH)/service \
    external/tinyalsa/include

LOCAL_SHARED_LIBRARIES := libcutils libtinyalsa

LOCAL_CFLAGS := -Wall -Wextra -Werror
LOCAL_CPPFLAGS := -std=c++17

ifeq ($(HDMI_PREVIEW_DRIFT_COMPENSATION),true)
LOCAL_SRC_FILES += \
    loopback/drift.cpp \
    loopback/resampler_speex.cpp
LOCAL_C_INCLUDES += external/speex/include
LOCAL_SHARED_LIBRARIES += libspeexresampler
# The platform library builds its whole filter table (48 taps times the denominator) again at
# every change of ratio: a small prime keeps that table at 393 KB.
LOCAL_CFLAGS += -DHDMI_PREVIEW_DRIFT_COMPENSATION -DHDMI_PREVIEW_DRIFT_RESAMPLER_SPEEX \
    -DHDMI_PREVIEW_SPEEX_DENOMINATOR=4093
endif

ifeq ($(HDMI_PREVIEW_TINYALSA_HAS_PCM_OPEN_REQ),true)
ifeq ($(strip $(HDMI_PREVIEW_PCM_CONFIG_TENTH_FIELD)),)
$(error hdmi-preview-audio: HDMI_PREVIEW_PCM_CONFIG_TENTH_FIELD is empty: name the variant's tenth struct pcm_config field)
endif
LOCAL_SRC_FILES := $(filter-out platform/pcm_open_req.cpp,$(LOCAL_SRC_FILES))
LOCAL_CFLAGS += -DTINYALSA_HAS_PCM_OPEN_REQ \
    -DHDMI_PREVIEW_PCM_CONFIG_TENTH_FIELD=$(strip $(HDMI_PREVIEW_PCM_CONFIG_TENTH_FIELD))
endif

include $(BUILD_EXECUTABLE)

else

LOCAL_MODULE_CLASS := EXECUTABLES
LOCAL_SRC_FILES := $(HDMI_PREVIEW_AUDIO_PREBUILT)
include $(BUILD_PREBUILT)

endif
endif
