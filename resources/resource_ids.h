/*
 * Resource identifiers shared by the two .rc files and the C++ code.
 *
 * Plain preprocessor definitions only: windres runs this file through the C
 * preprocessor with RC_INVOKED defined, so it must not contain anything but
 * #define lines and comments.
 *
 * Several controls are reused with the same numeric id in different dialogs
 * (1003 is the MAC address in the confirm dialog and the user name in the
 * password dialog, for example). Each role gets its own name so that the code
 * that fills a dialog says what it is filling. The numbers themselves must
 * not change: the UI driver of the end-to-end tests finds controls by them.
 */
#ifndef QVR_RESOURCE_IDS_H
#define QVR_RESOURCE_IDS_H

/* Dialog templates ------------------------------------------------------ */

#define IDD_ADDRESS                 101 /* device address (both deliverables) */
#define IDD_CONFIRM                 103 /* identity shown before upgrading */
#define IDD_PASSWORD                104 /* Digest credentials */
#define IDD_CONNECTING              105 /* progress while talking to the device */
#define IDD_UPLOAD                  110 /* TFTP transfer and update wait */
#define IDD_SUCCESS                 111 /* final version, narrow version box */
#define IDD_SUCCESS_WIDE            113 /* final version, wide version box */
#define IDD_WAITING                 114 /* waiting for the device's read request */
#define IDD_NOTICE                  139 /* warning before any upgrade */
#define IDD_WELCOME                 141 /* upgrade or recover (recovery-upgrader) */
#define IDD_RECOVERY                142 /* serial number entry (recovery-upgrader) */
#define IDD_ADDRESS_PHONE_RECOVERY  168 /* address dialog, phone family (recovery-upgrader) */
#define IDD_CONFIRM_TRANSITION      304 /* confirm dialog, transition stage (staged-upgrader) */
#define IDD_ADDRESS_PHONE_STAGED    305 /* address dialog, phone family (staged-upgrader) */

/* Controls -------------------------------------------------------------- */

/* Buttons 1 and 2 are the system's IDOK and IDCANCEL; the welcome dialog
   has two buttons of its own instead. */
#define IDC_UPGRADE_BUTTON          1028 /* welcome: "Upgrade Firmware " */
#define IDC_RECOVER_BUTTON          1029 /* welcome: "Recover Firmware" */

/* Address dialogs (101, 168, 305) */
#define IDC_IP_ADDRESS              1000 /* SysIPAddress32: the device address */
#define IDC_ADDRESS_INTRO           1007 /* "This program will upgrade ..." */
#define IDC_ADDRESS_INSTRUCTIONS    1008 /* how to find the device address */
#define IDC_IMAGE_VERSION           1015 /* "Version %s" of the embedded image */
#define IDC_LOCAL_ADDRESS_LIST      1017 /* PC addresses (also in dialog 142) */

/* Confirm dialogs (103, 304) */
#define IDC_CONFIRM_TEXT            1007
#define IDC_SERIAL_NUMBER           1002
#define IDC_MAC_ADDRESS             1003
#define IDC_SOFTWARE_VERSION        1004
#define IDC_HARDWARE_VERSION        1005
#define IDC_PRODUCT_NAME            1006

/* Password dialog (104) */
#define IDC_PASSWORD_TEXT           1007
#define IDC_USER_NAME               1003
#define IDC_PASSWORD                1005

/* Progress bar of the connecting, upload and waiting dialogs (105, 110, 114) */
#define IDC_PROGRESS                1010

/* Waiting dialog (114): the same label has a different id in each deliverable */
#define IDC_WAITING_TEXT_RECOVERY   1032
#define IDC_WAITING_TEXT_STAGED     1022

/* Success dialogs (111, 113) */
#define IDC_SUCCESS_TEXT            1007
#define IDC_SUCCESS_VERSION         1004

/* Notice dialog (139) */
#define IDC_NOTICE_TEXT             1021

/* Welcome dialog (141) */
#define IDC_WELCOME_TEXT            1031

/* Recovery dialog (142) */
#define IDC_RECOVERY_INTRO          1031 /* "You can use this utility ..." */
#define IDC_RECOVERY_VERSION        1032 /* "Version %s" of the embedded image */
#define IDC_RECOVERY_INSTRUCTIONS   1030 /* text chosen by the phone-family flag */
#define IDC_SERIAL_ENTRY            1027 /* serial number typed by the user */
#define IDC_RECOVERY_ADDRESS_LIST   1017 /* same control id as the address dialogs' list */

/* Generic id of the text areas that several dialogs share */
#define IDC_MESSAGE_TEXT            1007

#ifndef IDC_STATIC
#define IDC_STATIC                  (-1) /* labels and icons nobody addresses */
#endif

/* Icons ----------------------------------------------------------------- */

#define IDI_RECOVERY_MAIN           106 /* recovery-upgrader, shown in 101 and 168 */
#define IDI_RECOVERY_SECOND         165 /* recovery-upgrader, second icon group */
#define IDI_STAGED_MAIN             286 /* staged-upgrader, shown in 305 */

/* Embedded firmware images ---------------------------------------------- */

/* Resource type of the images, as text for FindResourceA. The .rc files spell
   the type as the bare word QVR_FIRMWARE, so no macro may carry that name. */
#define QVR_FIRMWARE_TYPE           "QVR_FIRMWARE"

#define IDR_FIRMWARE_IMAGE          112 /* recovery-upgrader: the one image */
#define IDR_FIRMWARE_TARGET         726 /* staged-upgrader: the target image */
#define IDR_FIRMWARE_TRANSITION     319 /* staged-upgrader: the transition image (optional) */

#endif /* QVR_RESOURCE_IDS_H */
