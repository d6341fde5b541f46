#!/bin/bash
# make-patch takes administrative images: a patch made from the images of
# the German sample product at 5.2.0.0 and 5.2.1.0 (laid out by
# tests/products/make-admin-image.py as an administrative installation
# leaves them) patches the product installed from its compressed 5.2.0.0
# package, and the result equals a fresh install from the 5.2.1.0 image
# (patch_equality.sh says what is compared), which Wine reads from the
# image's folder tree by itself. (A product installed from an image does not
# take a patch's files under Wine: Wine reads every file of an image's
# package from the image, the patch's cabinet included.)
source "$(dirname "$0")/lib.sh"
source "$(dirname "$0")/products.sh"
source "$(dirname "$0")/patch_equality.sh"

images=$WINE_TEST_DIR/images
for version in 5.2.0.0 5.2.1.0; do
  product_build_sample 0407 "$version"
  cp "$PRODUCT_MSI" "$WINE_TEST_DIR/de-$version.msi"
  "$HOTFIX_SOURCE_DIR/tests/products/make-admin-image.py" "$WINE_TEST_DIR/de-$version.msi" "$images/$version" ||
    fail "cannot lay out the image of $version"
done
expect_eq "$(msiinfo suminfo "$images/5.2.0.0/de-5.2.0.0.msi" | tr -d '\r' | sed -n 's/^Source: \([0-9]*\).*/\1/p')" 4 \
  "the Word Count of the image"

equality_machines
equality_row administrative-images "$WINE_TEST_DIR/de-5.2.0.0.msi" "$images/5.2.1.0/de-5.2.1.0.msi" \
  "Quorvel ${PRODUCT_CODE:1:36}" "$images/5.2.0.0/de-5.2.0.0.msi" "$images/5.2.1.0/de-5.2.1.0.msi"
