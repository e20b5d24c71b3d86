package com.weq.test;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;

import com.weq.conn.rfc.driver.CpicDriver;
import java.io.ByteArrayOutputStream;
import java.nio.charset.StandardCharsets;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.BeforeAll;
import org.junit.jupiter.api.Test;

/**
 * A protected conversation through the natives over MIT Kerberos, in a JVM of its own inside the
 * throw-away realm its launcher made (krb5_launch): the client initiates as user@TEST.REALM
 * towards the service snc/localhost, the registered server accepts with the service's keytab.
 */
class CpicKrb5Test {
  static final String LIB = "libgssapi_krb5.so.2";
  GwPeer peer;

  @BeforeAll
  static void load() {
    Lib.load();
    CpicSncTest.d = new CpicDriver();
    assertEquals(0, CpicSncTest.d.INIT());
  }

  @AfterEach
  void stopPeer() throws Exception {
    assertEquals(0, peer.bad(), "requests the peer found wrong");
    peer.close();
  }

  /**
   * The exported name of a Kerberos 5 principal as RFC 2743 (3.2) writes it, behind the two bytes
   * of the adapter type (2): 04 01, the length of the mechanism's DER object identifier, the
   * identifier 1.2.840.113554.1.2.2, the name's length in four bytes, the name.
   */
  static byte[] krb5AclKey(String principal) {
    ByteArrayOutputStream k = new ByteArrayOutputStream();
    int[] head = {0x00, 0x02, 0x04, 0x01, 0x00, 0x0b, 0x06, 0x09, 0x2a, 0x86, 0x48, 0x86, 0xf7, 0x12, 0x01, 0x02, 0x02};
    for (int b : head) k.write(b);
    byte[] name = principal.getBytes(StandardCharsets.US_ASCII);
    for (int shift = 24; shift >= 0; shift -= 8) k.write(name.length >> shift);
    k.write(name, 0, name.length);
    return k.toByteArray();
  }

  @Test
  void userToServiceAtPrivacy() throws Exception {
    peer = new GwPeer();
    String ask = "k".repeat(32000);
    CpicSncTest.Road r = CpicSncTest.road(peer, LIB, "p:snc/localhost@TEST.REALM", 3, ask);
    assertEquals(ask, r.got);
    assertEquals("p:user@TEST.REALM", r.partner);
    assertArrayEquals(krb5AclKey("user@TEST.REALM"), r.key);
    assertEquals("0 you mode 1 partner p:snc/localhost@TEST.REALM", r.clientSaw);
  }
}
