/* velomix_ids.h: the identifiers of the Velomix filter, of its control interface and of its
 * property page, the one place they are written; the filter module takes them from here too.
 * velomix.h includes it.
 *
 * Needs a DEFINE_GUID in scope (objbase.h; <initguid.h> first, in one source file, to define
 * the GUIDs rather than declare them). A program that defines its GUIDs another way defines
 * VELOMIX_DEFINE_GUID to its own macro of the same twelve arguments before including this.
 * The installer script writes the class id out as text; a test holds it to this one.
 */
#ifndef VELOMIX_IDS_H
#define VELOMIX_IDS_H

#ifndef VELOMIX_DEFINE_GUID
#define VELOMIX_DEFINE_GUID DEFINE_GUID
#endif

/* {43FF79DC-A363-4DA5-AD5C-2137A9343451}: the filter (CoCreateInstance, or found in a graph). */
VELOMIX_DEFINE_GUID(CLSID_Velomix, 0x43FF79DC, 0xA363, 0x4DA5, 0xAD, 0x5C, 0x21, 0x37, 0xA9, 0x34,
                    0x34, 0x51);
/* {C6BE0B1E-AB1F-4433-885E-319171E74469}: its control interface (QueryInterface on the filter). */
VELOMIX_DEFINE_GUID(IID_IVelomixProp, 0xC6BE0B1E, 0xAB1F, 0x4433, 0x88, 0x5E, 0x31, 0x91, 0x71,
                    0xE7, 0x44, 0x69);
/* {EAD9CA8A-BD46-4ECF-89D5-EF7DD2D08C1E}: its property page, the one the filter names through
   ISpecifyPropertyPages (OleCreatePropertyFrame shows it). */
VELOMIX_DEFINE_GUID(CLSID_VelomixProp1, 0xEAD9CA8A, 0xBD46, 0x4ECF, 0x89, 0xD5, 0xEF, 0x7D, 0xD2,
                    0xD0, 0x8C, 0x1E);

#endif /* VELOMIX_IDS_H */
